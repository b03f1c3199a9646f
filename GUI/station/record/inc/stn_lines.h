// Reading a report a chunk at a time, so that what reading costs in memory
// does not grow with the file: a source of bytes (the report file, a file
// that `qvm_cli report` reads, or one in memory in tests) and the lines
// cut from it. Not thread-safe: one thread per reader and per source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <memory>
#include <string_view>

class StnByteSource {
public:
    virtual ~StnByteSource() = default;
    // Up to n bytes from offset into buf; *got is how many (0 only at the
    // end of the file, fewer than n is not the end). False: the read failed.
    virtual bool read(std::uint64_t offset, char *buf, std::size_t n, std::size_t *got) = 0;
};

// One line of a source.
struct StnLine {
    std::uint64_t offset = 0;  // of its first byte
    std::uint64_t size = 0;    // its bytes, without the '\n'
    bool ended = false;        // a '\n' follows; false only for the last bytes of the source
    bool whole = false;        // text holds the whole line (false: longer than a chunk)
    std::string_view text;     // the line, or for a line that is not whole its first bytes;
                               // valid until the next call of next()
};

// The lines of a source from its start, read in chunks: the first ones
// small (a small file costs little), doubling up to chunk once the source
// proves long. A line longer than chunk is handed over as its offset, size
// and first bytes only: no report line of ours comes near that.
class StnLineReader {
public:
    static constexpr std::size_t kChunk = std::size_t(1) << 20;
    explicit StnLineReader(StnByteSource *source, std::size_t chunk = kChunk);

    // The next line: false at the end of the source or when a read failed
    // (failed() says which).
    bool next(StnLine *line);
    bool failed() const { return failed_; }
    // Bytes read so far: at the end, the size of the source.
    std::uint64_t consumed() const { return base_ + end_; }

private:
    bool fill();
    void grow();

    StnByteSource *source_;
    std::size_t max_;                 // the largest buf_ may grow to
    std::size_t size_;                // of buf_
    std::unique_ptr<char[]> buf_;     // not cleared: only what was read is looked at
    unsigned fills_ = 0;              // reads that brought bytes
    std::uint64_t base_ = 0;  // the offset of buf_[0] in the source
    std::size_t begin_ = 0;   // the next line starts at buf_[begin_]
    std::size_t end_ = 0;     // bytes read into buf_
    bool eof_ = false, failed_ = false;
    std::string head_;        // the first bytes of a line longer than a chunk
};

// size bytes at offset of source into *text (a line found before). False
// when the read failed or the source ended first.
bool stn_read_at(StnByteSource *source, std::uint64_t offset, std::size_t size,
                 std::string *text);
