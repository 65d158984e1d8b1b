#include "script/sjis_text.h"

#include "core/sjis.h"

namespace {

// Double-byte forms of 0x20..0x7E, following JIS X 0201 Roman: 0x5C is the yen
// sign and 0x7E the overline there.
constexpr uint16_t ascii_wide[95] = {
    0x8140, 0x8149, 0x8168, 0x8194, 0x8190, 0x8193, 0x8195, 0x8166,  // 20  !"#$%&'
    0x8169, 0x816A, 0x8196, 0x817B, 0x8143, 0x817C, 0x8144, 0x815E,  // 28 ()*+,-./
    0x824F, 0x8250, 0x8251, 0x8252, 0x8253, 0x8254, 0x8255, 0x8256,  // 30 01234567
    0x8257, 0x8258, 0x8146, 0x8147, 0x8183, 0x8181, 0x8184, 0x8148,  // 38 89:;<=>?
    0x8197, 0x8260, 0x8261, 0x8262, 0x8263, 0x8264, 0x8265, 0x8266,  // 40 @ABCDEFG
    0x8267, 0x8268, 0x8269, 0x826A, 0x826B, 0x826C, 0x826D, 0x826E,  // 48 HIJKLMNO
    0x826F, 0x8270, 0x8271, 0x8272, 0x8273, 0x8274, 0x8275, 0x8276,  // 50 PQRSTUVW
    0x8277, 0x8278, 0x8279, 0x816D, 0x818F, 0x816E, 0x814F, 0x8151,  // 58 XYZ[\]^_
    0x814D, 0x8281, 0x8282, 0x8283, 0x8284, 0x8285, 0x8286, 0x8287,  // 60 `abcdefg
    0x8288, 0x8289, 0x828A, 0x828B, 0x828C, 0x828D, 0x828E, 0x828F,  // 68 hijklmno
    0x8290, 0x8291, 0x8292, 0x8293, 0x8294, 0x8295, 0x8296, 0x8297,  // 70 pqrstuvw
    0x8298, 0x8299, 0x829A, 0x816F, 0x8162, 0x8170, 0x8150,          // 78 xyz{|}~
};

// Double-byte forms of the half-width katakana block 0xA1..0xDF (one for one:
// a voiced mark stays a mark of its own).
constexpr uint16_t kana_wide[63] = {
    0x8142, 0x8175, 0x8176, 0x8141, 0x8145, 0x8392, 0x8340,          // A1 ｡｢｣､･ｦｧ
    0x8342, 0x8344, 0x8346, 0x8348, 0x8383, 0x8385, 0x8387, 0x8362,  // A8 ｨｩｪｫｬｭｮｯ
    0x815B, 0x8341, 0x8343, 0x8345, 0x8347, 0x8349, 0x834A, 0x834C,  // B0 ｰｱｲｳｴｵｶｷ
    0x834E, 0x8350, 0x8352, 0x8354, 0x8356, 0x8358, 0x835A, 0x835C,  // B8 ｸｹｺｻｼｽｾｿ
    0x835E, 0x8360, 0x8363, 0x8365, 0x8367, 0x8369, 0x836A, 0x836B,  // C0 ﾀﾁﾂﾃﾄﾅﾆﾇ
    0x836C, 0x836D, 0x836E, 0x8371, 0x8374, 0x8377, 0x837A, 0x837D,  // C8 ﾈﾉﾊﾋﾌﾍﾎﾏ
    0x837E, 0x8380, 0x8381, 0x8382, 0x8384, 0x8386, 0x8388, 0x8389,  // D0 ﾐﾑﾒﾓﾔﾕﾖﾗ
    0x838A, 0x838B, 0x838C, 0x838D, 0x838F, 0x8393, 0x814A, 0x814B,  // D8 ﾘﾙﾚﾛﾜﾝﾞﾟ
};

inline uint16_t code_at(std::string_view s, size_t pos) {
  return static_cast<uint16_t>((static_cast<uint8_t>(s[pos]) << 8) | static_cast<uint8_t>(s[pos + 1]));
}

inline void put_code(std::string& out, uint16_t code) {
  out.push_back(static_cast<char>(code >> 8));
  out.push_back(static_cast<char>(code & 0xFF));
}

// Applies a per-character mapping in place: `narrow` for single bytes,
// `wide` for double-byte characters (same length in and out).
template <class Narrow, class Wide>
void map_case(std::string& text, Narrow narrow, Wide wide) {
  for (size_t i = 0; i < text.size();) {
    size_t n = sjis_char_length(text, i);
    if (n == 2) {
      uint16_t c = wide(code_at(text, i));
      text[i] = static_cast<char>(c >> 8);
      text[i + 1] = static_cast<char>(c & 0xFF);
    } else {
      text[i] = static_cast<char>(narrow(static_cast<uint8_t>(text[i])));
    }
    i += n;
  }
}

inline uint8_t ascii_upper(uint8_t b) { return (b >= 'a' && b <= 'z') ? static_cast<uint8_t>(b - 32) : b; }
inline uint8_t ascii_lower(uint8_t b) { return (b >= 'A' && b <= 'Z') ? static_cast<uint8_t>(b + 32) : b; }
inline uint16_t same(uint16_t c) { return c; }

}  // namespace

size_t sjis_char_count(std::string_view text) {
  size_t count = 0;
  for (size_t i = 0; i < text.size(); i = sjis_next(text, i)) ++count;
  return count;
}

size_t sjis_char_offset(std::string_view text, size_t index) {
  size_t i = 0;
  for (size_t k = 0; k < index && i < text.size(); ++k) i = sjis_next(text, i);
  return i;
}

uint16_t sjis_fullwidth_of(uint8_t b) {
  if (b >= 0x20 && b <= 0x7E) return ascii_wide[b - 0x20];
  if (b >= 0xA1 && b <= 0xDF) return kana_wide[b - 0xA1];
  return 0;
}

uint8_t sjis_halfwidth_of(uint16_t code) {
  // The tables are small; a linear search keeps them the single source.
  for (int i = 0; i < 95; ++i)
    if (ascii_wide[i] == code) return static_cast<uint8_t>(0x20 + i);
  for (int i = 0; i < 63; ++i)
    if (kana_wide[i] == code) return static_cast<uint8_t>(0xA1 + i);
  return 0;
}

std::string sjis_to_fullwidth(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (size_t i = 0; i < text.size();) {
    size_t n = sjis_char_length(text, i);
    uint16_t wide = n == 1 ? sjis_fullwidth_of(static_cast<uint8_t>(text[i])) : 0;
    if (wide) put_code(out, wide);
    else out.append(text.substr(i, n));
    i += n;
  }
  return out;
}

std::string sjis_to_halfwidth(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t n = sjis_char_length(text, i);
    uint8_t narrow = n == 2 ? sjis_halfwidth_of(code_at(text, i)) : 0;
    if (narrow) out.push_back(static_cast<char>(narrow));
    else out.append(text.substr(i, n));
    i += n;
  }
  return out;
}

uint16_t sjis_wide_upper(uint16_t c) {
  if (c >= 0x8281 && c <= 0x829A) return static_cast<uint16_t>(c - 0x21);  // ａ..ｚ
  if (c >= 0x83BF && c <= 0x83D6) return static_cast<uint16_t>(c - 0x20);  // α..ω
  if (c >= 0x8470 && c <= 0x847E) return static_cast<uint16_t>(c - 0x30);  // а..н
  if (c >= 0x8480 && c <= 0x8491) return static_cast<uint16_t>(c - 0x31);  // о..я (0x847F is no letter)
  return c;
}

uint16_t sjis_wide_lower(uint16_t c) {
  if (c >= 0x8260 && c <= 0x8279) return static_cast<uint16_t>(c + 0x21);
  if (c >= 0x839F && c <= 0x83B6) return static_cast<uint16_t>(c + 0x20);
  if (c >= 0x8440 && c <= 0x844E) return static_cast<uint16_t>(c + 0x30);
  if (c >= 0x844F && c <= 0x8460) return static_cast<uint16_t>(c + 0x31);
  return c;
}

void upper_ascii_sjis(std::string& text) { map_case(text, ascii_upper, same); }
void lower_ascii_sjis(std::string& text) { map_case(text, ascii_lower, same); }
void upper_sjis(std::string& text) { map_case(text, ascii_upper, sjis_wide_upper); }
void lower_sjis(std::string& text) { map_case(text, ascii_lower, sjis_wide_lower); }
