// The embedded images against the files they come from, and the two file formats themselves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "OrloXilinx.h"
#include "Orlo_MCORE.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes ReadFile(const std::string& name) {
    std::ifstream in(std::string(ORLO_FIRMWARE_DIR) + "/" + name, std::ios::binary);
    return Bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Byte `index` of an embedded image: words hold the bytes most significant first.
unsigned char ByteOf(const UInt32* words, std::size_t index) {
    return static_cast<unsigned char>(words[index / 4] >> (24 - 8 * (index % 4)));
}

UInt32 BigEndian32(const Bytes& bytes, std::size_t at) {
    return UInt32{bytes[at]} << 24 | UInt32{bytes[at + 1]} << 16 | UInt32{bytes[at + 2]} << 8 |
           bytes[at + 3];
}

// The embedded words reproduce the file byte for byte, and the filler completing the last word
// is zero.
void ExpectEmbeds(const UInt32* words, UInt32 size, const Bytes& file, std::size_t words_expected) {
    ASSERT_EQ(size, file.size());
    ASSERT_EQ((size + 3) / 4, words_expected);
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < file.size(); ++i) mismatches += ByteOf(words, i) != file[i];
    EXPECT_EQ(mismatches, 0u);
    for (std::size_t i = size; i < 4 * words_expected; ++i) EXPECT_EQ(ByteOf(words, i), 0) << i;
}

TEST(EmbeddedImages, McoreWordsReproduceTheFile) {
    const Bytes file = ReadFile("Orlo_MCORE.s19");
    EXPECT_EQ(OrloMCORE06dataSize, 67988u);
    ExpectEmbeds(OrloMCORE06data, OrloMCORE06dataSize, file, 16997);
    EXPECT_EQ(OrloMCORE06data[0] >> 16, 0x5330u);  // "S0": the words are not byte-swapped
}

TEST(EmbeddedImages, XilinxWordsReproduceTheFileWithTwoZeroFillerBytes) {
    const Bytes file = ReadFile("OrloXilinx.bit");
    EXPECT_EQ(OrloXilinxDataSizeBytes, 336754u);
    ExpectEmbeds(OrloXilinxData, OrloXilinxDataSizeBytes, file, 84189);
    EXPECT_EQ(OrloXilinxData[84188] & 0xFFFF, 0u);
}

TEST(BitFile, HeaderFieldsSignatureAndCount) {
    const Bytes file = ReadFile("OrloXilinx.bit");
    ASSERT_EQ(file.size(), 336754u);
    const Bytes preamble = {0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F,
                            0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01};
    ASSERT_TRUE(std::equal(preamble.begin(), preamble.end(), file.begin()));

    std::size_t at = preamble.size();
    for (char key = 'a'; key <= 'd'; ++key) {
        SCOPED_TRACE(std::string("field ") + key);
        ASSERT_EQ(file[at], key);
        const std::size_t length = file[at + 1] << 8 | file[at + 2];
        ASSERT_GE(length, 2u);
        const std::string text(file.begin() + at + 3, file.begin() + at + 3 + length);
        EXPECT_EQ(text.back(), '\0');
        for (std::size_t i = 0; i + 1 < text.size(); ++i) EXPECT_TRUE(std::isprint(text[i])) << i;
        at += 3 + length;
    }
    ASSERT_EQ(file[at], 'e');
    EXPECT_EQ(BigEndian32(file, at + 1), 336680u);
    EXPECT_EQ(at + 5, 74u);

    const Bytes signature = {0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0x99, 0x55, 0x66};
    const auto first =
        std::search(file.begin(), file.begin() + 144 + 7, signature.begin(), signature.end());
    EXPECT_EQ(first - file.begin(), 74);
    EXPECT_EQ(BigEndian32(file, 70), file.size() - 74);
}

// The configuration data read like a real stream: a type-2 frame-data write with varied frames,
// a CRC check, and desynchronisation then padding at the end.
TEST(BitFile, ConfigurationDataHaveFramesCrcAndDesync) {
    const Bytes file = ReadFile("OrloXilinx.bit");
    ASSERT_EQ((file.size() - 74) % 4, 0u);
    std::vector<UInt32> words;
    for (std::size_t at = 74; at < file.size(); at += 4) words.push_back(BigEndian32(file, at));

    std::size_t type2 = 0;
    while (type2 < words.size() && words[type2] >> 29 != 2) ++type2;
    ASSERT_LT(type2, words.size());
    EXPECT_EQ(words[type2 - 1], 0x30004000u)
        << "type 2 follows a type-1 write of the frame-data register";
    const std::size_t frame_words = words[type2] & 0x07FFFFFF;
    ASSERT_LT(type2 + 1 + frame_words, words.size());
    const std::set<UInt32> distinct(words.begin() + type2 + 1,
                                    words.begin() + type2 + 1 + frame_words);
    EXPECT_GT(distinct.size(), 1000u);

    const std::vector<UInt32> after(words.begin() + type2 + 1 + frame_words, words.end());
    ASSERT_GE(after.size(), 4u);
    EXPECT_EQ(after[0], 0x30000001u) << "CRC register write right after the frame data";
    const std::vector<UInt32> desync = {0x30008001, 0x0000000D};
    const auto at = std::search(after.begin(), after.end(), desync.begin(), desync.end());
    ASSERT_NE(at, after.end());
    for (auto it = at + 2; it != after.end(); ++it)
        EXPECT_EQ(*it, 0x20000000u) << "padding is no-ops";
}

int Hex(char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

TEST(SRecordFile, RecordsChecksumsLineEndsAndAddresses) {
    const Bytes file = ReadFile("Orlo_MCORE.s19");
    ASSERT_EQ(file.size(), 67988u);
    ASSERT_EQ(std::count(file.begin(), file.end(), 0), 0);
    ASSERT_EQ(file[file.size() - 2], '\r');
    ASSERT_EQ(file.back(), '\n');

    std::vector<std::string> lines;
    for (std::size_t start = 0, end; start < file.size(); start = end + 1) {
        end = std::find(file.begin() + start, file.end(), '\n') - file.begin();
        ASSERT_GT(end, start);
        ASSERT_EQ(file[end - 1], '\r') << "line " << lines.size() + 1;
        lines.emplace_back(file.begin() + start, file.begin() + end - 1);
    }
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front().substr(0, 2), "S0");
    EXPECT_EQ(lines.back().substr(0, 2), "S7");

    std::uint64_t next_free = 0;
    std::set<std::string> payloads;
    for (std::size_t n = 0; n < lines.size(); ++n) {
        SCOPED_TRACE("line " + std::to_string(n + 1));
        const std::string& line = lines[n];
        ASSERT_EQ(line[0], 'S');
        if (n > 0 && n + 1 < lines.size()) {
            ASSERT_EQ(line[1], '3');
        }
        ASSERT_EQ(line.size() % 2, 0u);
        unsigned sum = 0;
        std::vector<unsigned> bytes;
        for (std::size_t i = 2; i < line.size(); i += 2) {
            ASSERT_GE(Hex(line[i]), 0);
            ASSERT_GE(Hex(line[i + 1]), 0);
            bytes.push_back(Hex(line[i]) * 16 + Hex(line[i + 1]));
        }
        ASSERT_EQ(bytes[0], bytes.size() - 1);
        for (unsigned b : bytes) sum += b;
        EXPECT_EQ(sum & 0xFF, 0xFFu) << "checksum";
        if (line[1] == '3') {
            const std::uint64_t address =
                std::uint64_t{bytes[1]} << 24 | bytes[2] << 16 | bytes[3] << 8 | bytes[4];
            EXPECT_GE(address, next_free);
            next_free = address + bytes.size() - 6;
            payloads.insert(line.substr(12, line.size() - 14));
        }
    }
    EXPECT_GT(payloads.size(), 100u) << "a program, not one repeated record";
}

}  // namespace
