#include "save/compression_library.h"

compression_library_entries compression_library;
