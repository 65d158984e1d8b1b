#include "script/task_state.h"

namespace {

constexpr char state_magic[task_state_magic_length] = {1, 2, 3, 4, 5, 6, 7, 8};

void put_digits(std::string& out, uint32_t value, int digits) {
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
    out.push_back(static_cast<char>('a' + ((value >> shift) & 0xF)));
}
inline void put_byte(std::string& out, uint8_t v) { put_digits(out, v, 2); }
inline void put_word(std::string& out, uint32_t v) { put_digits(out, v, 8); }

// Reads fixed-width letter groups, remembering the first failure.
struct letter_reader {
  std::string_view text;
  size_t pos = 0;
  bool bad = false;

  uint32_t digits(int count) {
    if (bad || text.size() - pos < static_cast<size_t>(count)) {
      bad = true;
      return 0;
    }
    uint32_t v = 0;
    for (int i = 0; i < count; ++i) {
      unsigned d = static_cast<unsigned char>(text[pos + i]) - 'a';
      if (d > 15) {
        bad = true;
        return 0;
      }
      v = (v << 4) | d;
    }
    pos += static_cast<size_t>(count);
    return v;
  }
  uint8_t byte() { return static_cast<uint8_t>(digits(2)); }
  uint32_t word() { return digits(8); }
  // A count or saved depth: 0..task_state_max_depth.
  int depth() {
    uint8_t v = byte();
    if (v > task_state_max_depth) bad = true;
    return bad ? 0 : v;
  }
};

}  // namespace

void write_task_state(const task_state_image& s, std::string& out) {
  out.clear();
  out.reserve(task_state_fixed_length + s.blocks.size() * task_state_block_length +
              s.calls.size() * task_state_call_length + s.loops.size() * task_state_loop_length + s.name.size());
  out.append(state_magic, task_state_magic_length);
  put_byte(out, static_cast<uint8_t>(s.blocks.size()));
  for (const task_state_block& b : s.blocks) {
    put_byte(out, b.saved_loop_depth);
    put_word(out, b.open_index);
    put_word(out, b.end_index);
  }
  put_byte(out, static_cast<uint8_t>(s.calls.size()));
  for (const task_state_call& c : s.calls) {
    put_byte(out, static_cast<uint8_t>(c.saved_block_depth));
    put_byte(out, static_cast<uint8_t>(c.saved_loop_depth));
    put_word(out, c.return_index);
    put_word(out, c.return_script);
  }
  put_byte(out, static_cast<uint8_t>(s.loops.size()));
  for (const task_state_loop& l : s.loops) {
    put_byte(out, l.saved_block_depth);
    put_word(out, l.body_start);
    put_word(out, l.end_index);
    put_word(out, static_cast<uint32_t>(static_cast<uint64_t>(l.counter)));
    put_word(out, static_cast<uint32_t>(static_cast<uint64_t>(l.limit)));
  }
  put_word(out, s.mark);
  put_word(out, s.pc);
  const size_t n = s.name.size() < task_state_name_max ? s.name.size() : task_state_name_max;
  put_word(out, static_cast<uint32_t>(n));
  out.append(s.name, 0, n);
}

int parse_task_state(std::string_view text, task_state_image& image) {
  if (text.size() < task_state_magic_length || text.substr(0, task_state_magic_length) !=
                                                   std::string_view(state_magic, task_state_magic_length))
    return task_state_bad_magic;
  letter_reader r{text, task_state_magic_length};
  task_state_image s;
  // Every count is checked before its frames are read, so a damaged count
  // can never run past the 64 frames a task owns.
  int count = r.depth();
  for (int i = 0; i < count && !r.bad; ++i) {
    task_state_block b;
    b.saved_loop_depth = static_cast<uint8_t>(r.depth());
    b.open_index = r.word();
    b.end_index = r.word();
    s.blocks.push_back(b);
  }
  count = r.depth();
  for (int i = 0; i < count && !r.bad; ++i) {
    task_state_call c;
    c.saved_block_depth = static_cast<int8_t>(r.depth());
    c.saved_loop_depth = static_cast<int8_t>(r.depth());
    c.return_index = r.word();
    uint32_t script = r.word();
    if (script > 0xFFFF) r.bad = true;
    c.return_script = static_cast<uint16_t>(script);
    s.calls.push_back(c);
  }
  count = r.depth();
  for (int i = 0; i < count && !r.bad; ++i) {
    task_state_loop l;
    l.saved_block_depth = static_cast<uint8_t>(r.depth());
    l.body_start = r.word();
    l.end_index = r.word();
    l.counter = static_cast<int32_t>(r.word());
    l.limit = static_cast<int32_t>(r.word());
    s.loops.push_back(l);
  }
  s.mark = r.word();
  s.pc = r.word();
  uint32_t n = r.word();
  if (r.bad || text.size() - r.pos < n) return task_state_malformed;
  // A longer name than a source name can be is read back cut, as designed.
  s.name.assign(text.substr(r.pos, n < task_state_name_max ? n : task_state_name_max));
  r.pos += n;
  image = std::move(s);
  return static_cast<int>(r.pos);
}
