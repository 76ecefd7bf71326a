// The build-time image check: a broken copy of either image stops the build with a line that names
// the file and the fault.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Outcome {
    int exit_code;
    std::string output;
};

class EmbedCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/orlo_embed_check_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        srec_ = ReadFile(fs::path(ORLO_FIRMWARE_DIR) / "Orlo_MCORE.s19");
        bit_ = ReadFile(fs::path(ORLO_FIRMWARE_DIR) / "OrloXilinx.bit");
        ASSERT_FALSE(srec_.empty());
        ASSERT_FALSE(bit_.empty());
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Writes `contents` as `name` in the scratch folder and runs the checker on it.
    Outcome Check(const std::string& kind, const std::string& name, const std::string& contents) {
        const fs::path path = dir_ / name;
        std::ofstream(path, std::ios::binary) << contents;
        const std::string command =
            std::string(ORLO_EMBED_IMAGE) + " " + kind + " '" + path.string() + "' 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        std::string output;
        char chunk[256];
        while (std::fgets(chunk, sizeof chunk, pipe)) output += chunk;
        const int status = pclose(pipe);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
    }

    // The checker refuses the copy with one message naming the file and the fault.
    void ExpectRejected(const std::string& kind, const std::string& contents,
                        const std::string& fault) {
        const std::string name = kind == "srec" ? "Broken_MCORE.s19" : "BrokenXilinx.bit";
        const Outcome outcome = Check(kind, name, contents);
        EXPECT_EQ(outcome.exit_code, 1) << outcome.output;
        EXPECT_NE(outcome.output.find(name), std::string::npos) << outcome.output;
        EXPECT_NE(outcome.output.find(fault), std::string::npos) << outcome.output;
    }

    // Offset of the first character of line `n` (from 1) of the S-record text.
    std::size_t LineStart(int n) const {
        std::size_t at = 0;
        for (int i = 1; i < n; ++i) at = srec_.find('\n', at) + 1;
        return at;
    }

    fs::path dir_;
    std::string srec_, bit_;
};

TEST_F(EmbedCheck, AcceptsTheCommittedImagesAndWritesTheSource) {
    EXPECT_EQ(Check("srec", "Orlo_MCORE.s19", srec_).exit_code, 0);
    EXPECT_EQ(Check("bit", "OrloXilinx.bit", bit_).exit_code, 0);

    const fs::path source = dir_ / "Tiny.cpp";
    std::ofstream(dir_ / "tiny.bit", std::ios::binary) << bit_;
    const std::string command = std::string(ORLO_EMBED_IMAGE) + " bit '" +
                                (dir_ / "tiny.bit").string() + "' '" + source.string() +
                                "' Tiny.h TinySize TinyData";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string text = ReadFile(source);
    EXPECT_NE(text.find("#include \"Tiny.h\""), std::string::npos);
    EXPECT_NE(text.find("const UInt32 TinySize = 336754;"), std::string::npos);
    EXPECT_NE(text.find("const UInt32 TinyData[] = {\n    0x00090FF0, 0x0FF00FF0,"),
              std::string::npos);
    EXPECT_NE(text.find("0x00000000,\n};\n"), std::string::npos)
        << "last word: 2 bytes of no-op, 2 of filler";
}

TEST_F(EmbedCheck, RejectsBadChecksumWithLineNumber) {
    std::string broken = srec_;
    const std::size_t checksum =
        broken.find("\r\n", LineStart(5)) - 1;  // low digit of line 5's checksum
    broken[checksum] = broken[checksum] == '0' ? '1' : '0';
    ExpectRejected("srec", broken, "line 5: bad checksum");
}

TEST_F(EmbedCheck, RejectsMissingHeaderOrTerminationRecord) {
    ExpectRejected("srec", srec_.substr(LineStart(2)), "missing S0 header record");
    std::string without_s7 = srec_.substr(0, srec_.rfind("S7"));
    ExpectRejected("srec", without_s7, "missing S7 termination record");
}

TEST_F(EmbedCheck, RejectsLineWithoutCrLf) {
    std::string broken = srec_;
    broken.erase(LineStart(4) - 2, 1);  // line 3 ends in a bare LF
    ExpectRejected("srec", broken, "line 3: line does not end in CR LF");
    ExpectRejected("srec", srec_.substr(0, srec_.size() - 2), "does not end in CR LF");
}

TEST_F(EmbedCheck, RejectsLowerCaseAndNonHexDigits) {
    std::string lower = srec_;
    const std::size_t letter = lower.find_first_of("ABCDEF", LineStart(6) + 4);
    lower[letter] = static_cast<char>(lower[letter] - 'A' + 'a');  // same value, same checksum
    ExpectRejected("srec", lower, "line 6: lower-case hex digit");

    std::string non_hex = srec_;
    non_hex[LineStart(7) + 20] = 'G';
    ExpectRejected("srec", non_hex, "line 7: non-hex character");
}

TEST_F(EmbedCheck, RejectsAddressesOutOfOrder) {
    // Swap the whole records on lines 3 and 4: both stay valid, but line 4 now goes backwards.
    const std::size_t three = LineStart(3), four = LineStart(4), five = LineStart(5);
    const std::string swapped = srec_.substr(0, three) + srec_.substr(four, five - four) +
                                srec_.substr(three, four - three) + srec_.substr(five);
    ExpectRejected("srec", swapped,
                   "line 4: address 00000020 is not above the previous record's end 00000060");
}

TEST_F(EmbedCheck, RejectsNulByte) {
    std::string broken = srec_;
    broken.insert(LineStart(9), 1, '\0');
    ExpectRejected("srec", broken, "NUL byte at offset " + std::to_string(LineStart(9)));
}

TEST_F(EmbedCheck, RejectsBadPreamble) {
    std::string broken = bit_;
    broken[5] = '\x0E';
    ExpectRejected("bit", broken, "bad preamble");
}

TEST_F(EmbedCheck, RejectsMissingSignature) {
    std::string broken = bit_;
    broken[74 + 5] = '\x98';  // sync word AA 98 55 66
    ExpectRejected("bit", broken, "no signature FF FF FF FF AA 99 55 66 in the first 144 bytes");
}

TEST_F(EmbedCheck, RejectsCountThatDoesNotMatchTheLength) {
    ExpectRejected("bit", bit_ + std::string(4, '\x20'),
                   "byte count 336680 does not match the file length");
    ExpectRejected("bit", bit_.substr(0, bit_.size() - 1),
                   "byte count 336680 does not match the file length");
}

TEST_F(EmbedCheck, RejectsTextFieldWithoutNul) {
    std::string broken = bit_;
    broken[13 + 3 + 12] = 'x';  // the NUL ending field a's 13-byte text
    ExpectRejected("bit", broken, "field 'a' text is not NUL-terminated");
}

}  // namespace
