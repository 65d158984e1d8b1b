// Placeholder: the compression library lands with the start-up work.
extern "C" unsigned int RIRud_CompressedLength(unsigned int n) { return n; }
