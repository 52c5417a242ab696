#include "setupweb/definitions.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/machine.h"

namespace {

using MachineTest = vmtest::InstallDirTest;

struct DecodeCase {
  std::string value;
  std::string file;  // the bytes on disk after the save
};

class SaveDefinitions : public MachineTest, public ::testing::WithParamInterface<DecodeCase> {};

TEST_P(SaveDefinitions, WritesDecodedTextWithCrLfLineEnds) {
  put_file("Vellomar.ini", "old text\r\n");
  write_definitions_text(GetParam().value.c_str());
  EXPECT_EQ(file_bytes("Vellomar.ini"), GetParam().file);
}

INSTANTIATE_TEST_SUITE_P(
    Values, SaveDefinitions,
    ::testing::Values(
        DecodeCase{"Hello+World%21", "Hello World!"}, DecodeCase{"100%25", "100%"},
        DecodeCase{"a%2Bb", "a+b"}, DecodeCase{"%3D%26", "=&"}, DecodeCase{"a%0Ab", "a\r\nb"},
        // A text area's line end is one line end on disk.
        DecodeCase{"Aads.example.com%0D%0AF%24banner%0D%0A", "Aads.example.com\r\nF$banner\r\n"},
        DecodeCase{"a%0Db", "a\rb"}, DecodeCase{"abc%00def", "abc"}, DecodeCase{"", ""},
        // Escapes without two hexadecimal digits stay as they are.
        DecodeCase{"x%4", "x%4"}, DecodeCase{"x%", "x%"}, DecodeCase{"%zz", "%zz"},
        DecodeCase{"%4g1", "%4g1"}, DecodeCase{"%%41", "%A"},
        // Lower-case digits are accepted.
        DecodeCase{"%3d%2b%ff", "=+\xff"}, DecodeCase{"%41%42", "AB"}));

TEST(DecodeHexPair, GivesTheByteOrMinusOne) {
  EXPECT_EQ(decode_hex_pair('4', '1'), 0x41);
  EXPECT_EQ(decode_hex_pair('0', 'A'), 0x0A);
  EXPECT_EQ(decode_hex_pair('F', 'F'), 255);
  EXPECT_EQ(decode_hex_pair('f', 'e'), 254);
  EXPECT_EQ(decode_hex_pair('G', '0'), -1);
  EXPECT_EQ(decode_hex_pair('0', '\0'), -1);
}

TEST(DecodeFormText, ReadsNothingPastTheValue) {
  // The value is the first two bytes of a longer buffer: "%4" must not be
  // completed by the byte that follows it in memory.
  const char buffer[] = "%41";
  EXPECT_EQ(decode_form_text(std::string_view(buffer, 2)), "%4");
}

class ReadDefinitions : public MachineTest {};

TEST_F(ReadDefinitions, MissingFileIsEmpty) {
  EXPECT_EQ(read_definitions_text("vellomar.ini"), "");
}

TEST_F(ReadDefinitions, CrLfReadsAsLfAndLoneCrStays) {
  put_file("Vellomar.ini", "Aone\r\nFtwo\rx\r\n");
  EXPECT_EQ(read_definitions_text("vellomar.ini"), "Aone\nFtwo\rx\n");
}

TEST_F(ReadDefinitions, TakesTheFirst32767Characters) {
  std::string big(40000, 'x');
  big[32766] = 'y';
  big[32767] = 'z';
  put_file("Vellomar.ini", big);
  const std::string text = read_definitions_text("vellomar.ini");
  ASSERT_EQ(text.size(), DEFINITIONS_TEXT_LIMIT);
  EXPECT_EQ(text.back(), 'y');
}

TEST_F(ReadDefinitions, SaveCreatesTheFileAndReadsBack) {
  write_definitions_text("Aads.example.com%0D%0A");
  EXPECT_EQ(read_definitions_text("vellomar.ini"), "Aads.example.com\n");
}

}  // namespace
