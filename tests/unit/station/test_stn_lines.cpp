// The lines of a source read a chunk at a time: the same lines, offsets
// and ends wherever the chunk and read boundaries fall; a line longer than
// a chunk as its head only; a read that fails ends the lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../cli/cli_test_store.h"
#include "stn_lines.h"

TEST(StnLines, TheSameLinesWhereverTheChunksFall) {
    // Longer than the first chunk, so that the buffer grows, with a line
    // longer than 8192 bytes.
    std::string long_source;
    for (std::size_t i = 0; i < 300; ++i) long_source += std::string(i % 97, 'l') + "\n";
    long_source += std::string(9000, 'L') + "\nend";
    const std::string inputs[] = {
        long_source,
        "",
        "\n",
        "a\nbb\r\n\nccc",
        "0123456789\n" + std::string(300, 'x') + "\n" + "tail-without-end-0123456789",
        std::string(40, 'y'),
        "\n\n" + std::string(16, 'z') + "\n",
    };
    for (const std::string &in : inputs) {
        for (std::size_t chunk : {std::size_t(2), std::size_t(4), std::size_t(16),
                                  std::size_t(8192), StnLineReader::kChunk}) {
            for (std::size_t read : {std::size_t(1), std::size_t(3), std::size_t(0)}) {
                SCOPED_TRACE("chunk " + std::to_string(chunk) + ", read " + std::to_string(read) +
                             ": " + in);
                cli_test::MemStore src;
                src.bytes = in;
                src.read_chunk = read;
                StnLineReader reader(&src, chunk);
                std::size_t at = 0;
                StnLine l;
                while (reader.next(&l)) {
                    const std::size_t nl = in.find('\n', at);
                    const std::size_t end = nl == std::string::npos ? in.size() : nl;
                    ASSERT_LT(at, in.size());
                    EXPECT_EQ(l.offset, at);
                    EXPECT_EQ(l.size, end - at);
                    EXPECT_EQ(l.ended, nl != std::string::npos);
                    // Whole when it fits the buffer; otherwise its head.
                    const std::string line = in.substr(at, end - at);
                    EXPECT_EQ(l.whole, line.size() < chunk);
                    EXPECT_EQ(std::string(l.text),
                              l.whole ? line : line.substr(0, std::min<std::size_t>(256, chunk)));
                    at = end + 1;
                }
                EXPECT_FALSE(reader.failed());
                EXPECT_GE(at, in.size());
                EXPECT_EQ(reader.consumed(), in.size());
            }
        }
    }
}

TEST(StnLines, AReadThatFailsEndsTheLines) {
    class Failing : public cli_test::MemStore {
    public:
        bool read(std::uint64_t offset, char *buf, std::size_t n, std::size_t *got) override {
            if (offset >= 4) return false;
            return MemStore::read(offset, buf, n, got);
        }
    } src;
    src.bytes = "ab\ncd\nef\n";
    src.read_chunk = 2;
    StnLineReader reader(&src, 8);
    StnLine l;
    ASSERT_TRUE(reader.next(&l));
    EXPECT_EQ(l.text, "ab");
    EXPECT_FALSE(reader.next(&l));
    EXPECT_TRUE(reader.failed());
    std::string text;
    EXPECT_TRUE(stn_read_at(&src, 0, 3, &text));
    EXPECT_EQ(text, "ab\n");
    EXPECT_FALSE(stn_read_at(&src, 3, 3, &text));
}
