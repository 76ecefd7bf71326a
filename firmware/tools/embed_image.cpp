// Checks one firmware image and turns it into a C++ source that embeds it.
//
//   orlo_embed_image srec|bit <image> [<output.cpp> <header> <size symbol> <data symbol>]
//
// With only the image it checks and exits. A malformed image fails the build with one line naming
// the file and the fault, before anything is written. The embedded array holds the file's bytes as
// 32-bit words, most significant byte first, so the bytes stand in file order whatever the host's
// byte order; the last word is filled up with zero bytes, and the size symbol says where the file
// ends.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string HexByte(unsigned value) {
    char text[3];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    return text;
}

std::string HexWord(std::uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%08llX", static_cast<unsigned long long>(value));
    return text;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Motorola S-records as the unit's loader takes them: an S0 header first, S3 data records with
// ascending, non-overlapping 32-bit addresses, an S7 termination record last; upper-case hex; each
// line ends in CR LF. Returns the fault, or nothing when the file is sound.
std::optional<std::string> CheckSRecords(const Bytes& file) {
    if (file.empty()) return "empty file";
    for (std::size_t i = 0; i < file.size(); ++i)
        if (file[i] == 0) return "NUL byte at offset " + std::to_string(i);

    std::size_t lineNumber = 0;
    bool seenS7 = false, seenS3 = false;
    std::uint64_t previousEnd = 0;
    for (std::size_t start = 0; start < file.size();) {
        ++lineNumber;
        const std::string where = "line " + std::to_string(lineNumber) + ": ";
        std::size_t end = start;
        while (end < file.size() && file[end] != '\n') ++end;
        if (end == file.size() || end == start || file[end - 1] != '\r')
            return where + "line does not end in CR LF";
        const std::string line(file.begin() + start, file.begin() + end - 1);
        start = end + 1;

        if (seenS7) return where + "record after the S7 termination record";
        if (line.size() < 2 || line[0] != 'S') return where + "not an S-record (no leading 'S')";
        const char type = line[1];
        std::vector<unsigned> bytes;
        for (std::size_t i = 2; i < line.size(); ++i) {
            if (line[i] >= 'a' && line[i] <= 'f')
                return where + "lower-case hex digit '" + line[i] + "'";
            if (HexValue(line[i]) < 0) return where + "non-hex character in the record";
        }
        if (line.size() % 2 != 0) return where + "odd number of hex digits";
        for (std::size_t i = 2; i < line.size(); i += 2)
            bytes.push_back(HexValue(line[i]) * 16 + HexValue(line[i + 1]));
        if (bytes.empty() || bytes[0] != bytes.size() - 1)
            return where + "byte count does not match the record's length";

        unsigned sum = 0;
        for (std::size_t i = 0; i + 1 < bytes.size(); ++i) sum += bytes[i];
        const unsigned expected = ~sum & 0xFF;
        if (bytes.back() != expected)
            return where + "bad checksum " + HexByte(bytes.back()) + ", expected " +
                   HexByte(expected);

        if (lineNumber == 1 && type != '0')
            return "missing S0 header record (line 1 is S" + std::string(1, type) + ")";
        switch (type) {
            case '0':
                if (lineNumber != 1) return where + "S0 header record after the first line";
                if (bytes.size() < 4) return where + "S0 record too short";
                break;
            case '3': {
                if (bytes.size() < 6) return where + "S3 record without data";
                const std::uint64_t address =
                    std::uint64_t{bytes[1]} << 24 | bytes[2] << 16 | bytes[3] << 8 | bytes[4];
                if (seenS3 && address < previousEnd)
                    return where + "address " + HexWord(address) +
                           " is not above the previous record's end " + HexWord(previousEnd);
                previousEnd = address + (bytes.size() - 6);
                seenS3 = true;
                break;
            }
            case '7':
                if (bytes.size() != 6)
                    return where + "S7 record must hold exactly a 32-bit address";
                seenS7 = true;
                break;
            default:
                return where + "unexpected record type S" + type;
        }
    }
    if (!seenS3) return "no S3 data records";
    if (!seenS7) return "missing S7 termination record";
    return std::nullopt;
}

// A configuration bitstream file: the fixed preamble, the NUL-terminated text fields a to d, field
// e with the byte count, then the configuration data from the dummy and sync words on. The download
// engine finds the data by the signature within the first 144 bytes and takes the count in front
// of it, so both are checked the way it finds them.
std::optional<std::string> CheckBitstream(const Bytes& file) {
    static const std::uint8_t kPreamble[] = {0x00, 0x09, 0x0F, 0xF0, 0x0F, 0xF0, 0x0F,
                                             0xF0, 0x0F, 0xF0, 0x00, 0x00, 0x01};
    static const std::uint8_t kSignature[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0x99, 0x55, 0x66};
    constexpr std::size_t kSearchPositions = 144;

    if (file.size() < sizeof kPreamble ||
        !std::equal(std::begin(kPreamble), std::end(kPreamble), file.begin()))
        return "bad preamble (expected 00 09 0F F0 0F F0 0F F0 0F F0 00 00 01)";
    std::size_t at = sizeof kPreamble;
    for (char key = 'a'; key <= 'd'; ++key) {
        const std::string field = std::string("field '") + key + "' ";
        if (at + 3 > file.size() || file[at] != key)
            return field + "missing at offset " + std::to_string(at);
        const std::size_t length = file[at + 1] << 8 | file[at + 2];
        at += 3;
        if (length == 0 || at + length > file.size())
            return field + "runs past the end of the file";
        if (file[at + length - 1] != 0) return field + "text is not NUL-terminated";
        at += length;
    }
    if (at + 5 > file.size() || file[at] != 'e')
        return "field 'e' missing at offset " + std::to_string(at);
    const std::size_t fieldEnd = at + 5;

    std::size_t offset = 0;
    while (offset < kSearchPositions &&
           !(offset + sizeof kSignature <= file.size() &&
             std::equal(std::begin(kSignature), std::end(kSignature), file.begin() + offset)))
        ++offset;
    if (offset == kSearchPositions)
        return "no signature FF FF FF FF AA 99 55 66 in the first 144 bytes";
    if (offset != fieldEnd)
        return "signature at offset " + std::to_string(offset) + ", but field 'e' ends at " +
               std::to_string(fieldEnd);
    const std::uint32_t count = std::uint32_t{file[offset - 4]} << 24 | file[offset - 3] << 16 |
                                file[offset - 2] << 8 | file[offset - 1];
    if (count != file.size() - offset)
        return "byte count " + std::to_string(count) + " does not match the file length (" +
               std::to_string(file.size()) + " - " + std::to_string(offset) + " = " +
               std::to_string(file.size() - offset) + ")";
    return std::nullopt;
}

bool WriteSource(const Bytes& file, const std::string& imageName, const std::string& output,
                 const std::string& header, const std::string& sizeSymbol,
                 const std::string& dataSymbol) {
    std::string text = "// Generated at build time by orlo_embed_image from " + imageName +
                       "; do not edit.\n" + "#include \"" + header + "\"\n\n" + "const UInt32 " +
                       sizeSymbol + " = " + std::to_string(file.size()) + ";\n\n" +
                       "const UInt32 " + dataSymbol + "[] = {\n";
    for (std::size_t i = 0; i < file.size(); i += 4) {
        std::uint32_t word = 0;
        for (std::size_t j = 0; j < 4; ++j)
            word = word << 8 | (i + j < file.size() ? file[i + j] : 0);
        char item[16];
        std::snprintf(item, sizeof item, "0x%08X,", static_cast<unsigned>(word));
        text += (i % 32 == 0 ? "    " : " ") + std::string(item) + (i % 32 == 28 ? "\n" : "");
    }
    text += (file.size() % 32 != 0 ? "\n};\n" : "};\n");

    // Written beside and renamed into place, so an interrupted build never leaves half a source.
    const std::string temporary = output + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary);
        out << text;
        if (!out.good()) return false;
    }
    std::error_code error;
    std::filesystem::rename(temporary, output, error);
    return !error;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string kind = argc > 1 ? argv[1] : "";
    if ((argc != 3 && argc != 7) || (kind != "srec" && kind != "bit")) {
        std::fprintf(
            stderr,
            "usage: %s srec|bit <image> [<output.cpp> <header> <size symbol> <data symbol>]\n",
            argv[0]);
        return 2;
    }
    const std::string path = argv[2];
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "%s: cannot open the firmware image\n", path.c_str());
        return 1;
    }
    const Bytes file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::optional<std::string> fault = file.size() > 0xFFFFFFFFu ? "image larger than 4 GiB"
                                       : kind == "srec"          ? CheckSRecords(file)
                                                                 : CheckBitstream(file);
    if (fault) {
        std::fprintf(stderr, "%s: malformed firmware image: %s\n", path.c_str(), fault->c_str());
        return 1;
    }
    if (argc == 7 && !WriteSource(file, std::filesystem::path(path).filename().string(), argv[3],
                                  argv[4], argv[5], argv[6])) {
        std::fprintf(stderr, "%s: cannot write %s\n", path.c_str(), argv[3]);
        return 1;
    }
    return 0;
}
