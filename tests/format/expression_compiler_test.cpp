// The expression compiler: exact record bytes, precedence, names, literals and
// the errors an author sees.
#include <gtest/gtest.h>

#include "format/expression_compiler.h"

namespace {

const expression_names names = {{"a", 1000}, {"b", 0x1234}, {"\x95\x5C\x8E\xA6", 1001}, {"_x9", 98}};

std::vector<uint8_t> ok(const std::string& src) {
  expression_compile_result r = compile_expression(src, names);
  EXPECT_TRUE(r.ok) << src << ": " << r.error;
  return r.bytes;
}

TEST(ExpressionCompiler, ExactRecords) {
  EXPECT_EQ(ok("1 + a * 300"), (std::vector<uint8_t>{'B', 1, 0, 1, 'H', 3, 0, ' ', 0xE8, 0x03, 'W', 2, 0, 0x2C, 0x01,
                                                     '*', 0, 0, '+', 0, 0}));
  EXPECT_EQ(ok("-129"), (std::vector<uint8_t>{'W', 2, 0, 0x7F, 0xFF}));
  EXPECT_EQ(ok("-128"), (std::vector<uint8_t>{'B', 1, 0, 0x80}));
  EXPECT_EQ(ok("70000"), (std::vector<uint8_t>{'I', 4, 0, 0x70, 0x11, 0x01, 0x00}));
  EXPECT_EQ(ok("-9223372036854775808"), (std::vector<uint8_t>{'L', 8, 0, 0, 0, 0, 0, 0, 0, 0, 0x80}));
  EXPECT_EQ(ok("0xFFFFFFFFFFFFFFFF"), (std::vector<uint8_t>{'B', 1, 0, 0xFF}));
  EXPECT_EQ(ok("1.5"), (std::vector<uint8_t>{'F', 8, 0, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F}));
  EXPECT_EQ(ok("#b[a, 2][3]"), (std::vector<uint8_t>{'V', 3, 0, '#', 0x34, 0x12, 'H', 3, 0, ' ', 0xE8, 0x03, 'B', 1, 0,
                                                     2, 'B', 1, 0, 3, ')', 0, 0}));
  EXPECT_EQ(ok("`a[]"), (std::vector<uint8_t>{'v', 3, 0, '`', 0xE8, 0x03}));
  EXPECT_EQ(ok("@7"), (std::vector<uint8_t>{'H', 3, 0, ' ', 7, 0}));
  EXPECT_EQ(ok("str(num(\"5\"))"), (std::vector<uint8_t>{'M', 3, 0, '"', '5', '"', 'i', 0, 0, 's', 0, 0}));
  EXPECT_EQ(ok("-a"), (std::vector<uint8_t>{'H', 3, 0, ' ', 0xE8, 0x03, 'R', 0, 0}));
  EXPECT_EQ(ok("!a"), (std::vector<uint8_t>{'H', 3, 0, ' ', 0xE8, 0x03, 'B', 1, 0, 0, '=', 0, 0}));
  EXPECT_TRUE(ok("").empty());
}

// The operation bytes of a compiled expression, in order.
std::string ops(const std::string& src) {
  std::vector<uint8_t> b = ok(src);
  std::string out;
  for (size_t i = 0; i + 3 <= b.size(); i += 3 + (b[i + 1] | (b[i + 2] << 8))) out.push_back(static_cast<char>(b[i]));
  return out;
}

TEST(ExpressionCompiler, OperatorsAndPrecedence) {
  EXPECT_EQ(ops("1 || 2 && 3"), "BBB&|");
  EXPECT_EQ(ops("1 | 2 ^ 3 & 4"), "BBBBA^O");
  EXPECT_EQ(ops("1 == 2 != 3"), "BB=B!");
  EXPECT_EQ(ops("1 < 2 == 3 >= 4"), "BB<BBZ=");
  EXPECT_EQ(ops("1 <= 2 > 3"), "BBSB>");
  EXPECT_EQ(ops("1 - 2 + 3 % 4 / 5"), "BB-BB%B/+");
  EXPECT_EQ(ops("(1 + 2) * 3"), "BB+B*");
  EXPECT_EQ(ops("1 - -2"), "BB-");
  EXPECT_EQ(ops("a[1]+\"x\""), "VB)M+");
  EXPECT_EQ(ops("\t1\n+\r2 "), "BB+");
}

TEST(ExpressionCompiler, DoubleByteNamesAndTexts) {
  // A name whose second byte is '\' and a text whose characters end in '\' and '"'.
  EXPECT_EQ(ok("\x95\x5C\x8E\xA6"), (std::vector<uint8_t>{'H', 3, 0, ' ', 0xE9, 0x03}));
  EXPECT_EQ(ok("\"\x95\x5C\x83\x22\""), (std::vector<uint8_t>{'M', 6, 0, '"', 0x95, 0x5C, 0x83, 0x22, '"'}));
  // Backslashes are doubled; a text holding '"' takes another delimiter.
  EXPECT_EQ(ok("\"a\\\\b\""), (std::vector<uint8_t>{'M', 6, 0, '"', 'a', '\\', '\\', 'b', '"'}));
  EXPECT_EQ(ok("\"q\\\"\""), (std::vector<uint8_t>{'M', 4, 0, '\'', 'q', '"', '\''}));
  EXPECT_EQ(ok("\"\\n\\t\""), (std::vector<uint8_t>{'M', 4, 0, '"', '\n', '\t', '"'}));
  std::vector<uint8_t> out;
  EXPECT_FALSE(append_text_literal(out, "x\x82"));  // a lead byte without its second byte
  EXPECT_FALSE(append_text_literal(out, std::string(70000, 'x')));
  std::string all;
  for (int c = 1; c < 128; ++c) all.push_back(static_cast<char>(c));
  EXPECT_FALSE(append_text_literal(out, all));  // no delimiter left
  all.erase(all.find('Z'), 1);
  ASSERT_TRUE(append_text_literal(out, all));
  EXPECT_EQ(out[3], 'Z');
}

TEST(ExpressionCompiler, Errors) {
  struct bad {
    const char* source;
    size_t position;
  };
  for (const bad& b : std::initializer_list<bad>{{"1 +", 3},
                                                 {"nope + 1", 0},
                                                 {"a[1", 3},
                                                 {"(1", 2},
                                                 {"\"open", 5},
                                                 {"\"\\q\"", 1},
                                                 {"1 2", 2},
                                                 {"0x", 2},
                                                 {"0x12345678901234567", 18},
                                                 {"9223372036854775808", 19},
                                                 {"12ab", 2},
                                                 {"@70000", 6},
                                                 {"$", 0},
                                                 {"str(1", 5}}) {
    expression_compile_result r = compile_expression(b.source, names);
    EXPECT_FALSE(r.ok) << b.source;
    EXPECT_FALSE(r.error.empty()) << b.source;
    EXPECT_EQ(r.position, b.position) << b.source << ": " << r.error;
  }
  expression_compile_result r = compile_expression("a + missing", names);
  EXPECT_NE(r.error.find("missing"), std::string::npos);
}

}  // namespace
