// Writes the seven stand-in line-card firmware images in the image text
// format, or with --check compares freshly generated images with a directory.
// Payloads and initialisation vectors are pseudo-random bytes from a fixed
// seed per image, so the output is the same on every run and platform.

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

struct ImageInfo
{
    const char *object;
    const char *platformId;
    const char *block;
    const char *driver;
};

const ImageInfo images[] = {
    {"LQ770_KRONE_LSAPLUS_S2_10PAIR", "04 01", "00", "00"},
    {"LQ770_KRONE_LSAPLUS_HD180_10PAIR", "04 01", "08", "00"},
    {"LQ770_QUANTE_SIDC_10PAIR", "04 01", "05", "00"},
    {"LQ770_QUANTE_SIDC_20PAIR", "04 03", "05", "01"},
    {"LQ770_RANDM_VS_COMPACT_10PAIR", "04 01", "06", "00"},
    {"LQ770_RANDM_VS_COMPACT_16PAIR_XC", "04 20", "06", "0B"},
    {"LQ770_RANDM_VS_COMPACT_20PAIR", "04 03", "06", "01"},
};

constexpr std::size_t paddedHeaderWidth = 61;
constexpr int payloadLines = 512;
constexpr int bytesPerLine = 16;
constexpr std::size_t expectedFileSize = 26084;

class SplitMix64
{
public:
    explicit SplitMix64(std::uint64_t seed) : state(seed) { }

    std::uint64_t next()
    {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    std::uint8_t nextByte() { return static_cast<std::uint8_t>(next() >> 56); }

private:
    std::uint64_t state;
};

std::string hexBytes(SplitMix64 &random, int count)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (int i = 0; i < count; ++i) {
        const std::uint8_t byte = random.nextByte();
        if (i > 0)
            text += ' ';
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

std::string headerLine(const std::string &key, const std::string &value, bool padded)
{
    std::string line = "#:" + key + "=" + value;
    if (padded && line.size() < paddedHeaderWidth)
        line.append(paddedHeaderWidth - line.size(), ' ');
    return line + "\r\n";
}

std::string makeImage(std::size_t index)
{
    const ImageInfo &info = images[index];
    SplitMix64 random(0x4C51373730464Dull + 0x1000193ull * (index + 1));

    std::string deviceId = "25 53";
    for (int i = 0; i < 14; ++i)
        deviceId += " ??";
    const std::string iv = hexBytes(random, 16);

    const std::pair<const char *, std::string> padded[] = {
        {"FIRMWARE_NAME", "LQ770 Line Card"},
        {"FIRMWARE_VERSION", "1.3"},
        {"FIRMWARE_TIMESTAMP", "2016-08-01"},
        {"FIRMWARE_COMPANY", "Quorvane"},
        {"FIRMWARE_COMPANY_WEBSITE", "www.quorvane.example"},
        {"FIRMWARE_COPYRIGHT", "Copyright (c) 2016 Quorvane"},
        {"FIRMWARE_NOTE", ""},
        {"DEVICE_ID", deviceId},
        {"VERSION_ID", "E1 0? 0? E?"},
        {"PLATFORM_ID", info.platformId},
        {"LQ770_OBJECT", info.object},
        {"LQ770_BLOCK", info.block},
        {"LQ770_DRIVER", info.driver},
        {"LQ770_VERSION", "01 00"},
    };

    std::string text;
    for (const auto &entry : padded)
        text += headerLine(entry.first, entry.second, true);
    text += headerLine("MINIMUM_FLASH", "3000", false);
    text += headerLine("MINIMUM_SRAM", "0200", false);
    text += headerLine("CRYPTO_IV", iv, false);
    text += "@D000\r\n";
    for (int line = 0; line < payloadLines; ++line)
        text += hexBytes(random, bytesPerLine) + "\r\n";
    text += "q\r\n";
    return text;
}

std::string filePath(const std::string &dir, std::size_t index)
{
    return dir + "/" + images[index].object + ".txt";
}

bool readFile(const std::string &path, std::string *contents)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    contents->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

int writeImages(const std::string &dir)
{
    for (std::size_t i = 0; i < std::size(images); ++i) {
        const std::string text = makeImage(i);
        const std::string path = filePath(dir, i);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.close();
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}

int checkImages(const std::string &dir)
{
    int result = 0;
    for (std::size_t i = 0; i < std::size(images); ++i) {
        const std::string expected = makeImage(i);
        const std::string path = filePath(dir, i);
        std::string actual;
        if (expected.size() != expectedFileSize) {
            std::fprintf(stderr, "generated %s has %zu bytes, not %zu\n", images[i].object,
                         expected.size(), expectedFileSize);
            result = 1;
        } else if (!readFile(path, &actual)) {
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
            result = 1;
        } else if (actual != expected) {
            std::fprintf(stderr, "%s differs from the generated image\n", path.c_str());
            result = 1;
        }
    }
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && args[0] != "--check")
        return writeImages(args[0]);
    if (args.size() == 2 && args[0] == "--check")
        return checkImages(args[1]);
    std::fprintf(stderr, "usage: make_firmware_images DIR\n"
                         "       make_firmware_images --check DIR\n");
    return 2;
}
