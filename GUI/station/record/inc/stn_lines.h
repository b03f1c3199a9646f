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

// Bytes in memory as a source (not copied: they must outlive it).
class StnMemorySource : public StnByteSource {
public:
    explicit StnMemorySource(std::string_view bytes) : bytes_(bytes) {}
    bool read(std::uint64_t offset, char *buf, std::size_t n, std::size_t *got) override;

private:
    std::string_view bytes_;
};

// line without a CR at its end: some copies of a report add one before
// each line feed, and every reader of a line drops it.
std::string_view stn_without_cr(std::string_view line);

// One line of a source.
struct StnLine {
    std::uint64_t offset = 0;  // of its first byte
    std::uint64_t size = 0;    // its bytes, without the '\n'
    bool ended = false;        // a '\n' follows; false only for the last bytes of the source
    bool whole = false;        // text holds the whole line (false: longer than a chunk)
    std::string_view text;     // the line, or for a line that is not whole its first bytes;
                               // a NUL is a byte like any other; valid until the cutter
                               // (or reader) is called again
    // The offset after it, its line feed included: where the next line starts.
    std::uint64_t end() const { return offset + size + (ended ? 1 : 0); }
    // text without a CR at its end.
    std::string_view body() const { return stn_without_cr(text); }
};

// The one line cutter of the station: bytes handed in as they come (any
// chunks), whole lines handed out with their place in the source. It keeps
// at most one chunk: the first rooms are small (a small file costs little),
// doubling up to chunk once the source proves long; a line longer than
// chunk is handed over as its offset, size and first bytes only (no report
// line of ours comes near that). Not thread-safe.
//
// Either room() and put() (the bytes read straight into it), or feed();
// after either, next() until it answers false, then more bytes, or finish()
// at the source's end, after which next() hands over the bytes after the
// last line feed (a torn tail: not ended).
class StnLineCutter {
public:
    static constexpr std::size_t kChunk = std::size_t(1) << 20;
    // offset: where in the source the first byte fed is.
    explicit StnLineCutter(std::size_t chunk = kChunk, std::uint64_t offset = 0);

    // Where the next bytes go, and how many fit (*n, at least 1).
    char *room(std::size_t *n);
    // got bytes were written into the room.
    void put(std::size_t got);
    // Copies what fits of bytes in; how many that was (at least 1 when
    // bytes is not empty).
    std::size_t feed(std::string_view bytes);
    // The source ended.
    void finish() { finished_ = true; }
    bool finished() const { return finished_; }
    // The next line: false when more bytes are needed, or after finish()
    // at the end.
    bool next(StnLine *line);
    // The offset after the last byte fed: where the source is read next.
    std::uint64_t consumed() const { return base_ + end_; }

private:
    bool next_long(StnLine *line);
    void grow();

    std::size_t max_;                 // the largest buf_ may grow to
    std::size_t size_;                // of buf_
    std::unique_ptr<char[]> buf_;     // not cleared: only what was fed is looked at
    unsigned fills_ = 0;              // puts that brought bytes
    std::uint64_t base_ = 0;  // the offset of buf_[0] in the source
    std::size_t begin_ = 0;   // the next line starts at buf_[begin_]
    std::size_t scan_ = 0;    // no '\n' in buf_[begin_, scan_)
    std::size_t end_ = 0;     // bytes fed into buf_
    bool finished_ = false;
    bool long_ = false;       // passing over a line longer than a chunk
    StnLine long_line_;       // ... its offset and size so far
    std::string head_;        // ... and its first bytes
};

// The lines of a source from offset on, read into a StnLineCutter.
class StnLineReader {
public:
    static constexpr std::size_t kChunk = StnLineCutter::kChunk;
    explicit StnLineReader(StnByteSource *source, std::size_t chunk = kChunk,
                           std::uint64_t offset = 0);

    // The next line: false at the end of the source or when a read failed
    // (failed() says which).
    bool next(StnLine *line);
    bool failed() const { return failed_; }
    // Bytes read so far: at the end, the size of the source.
    std::uint64_t consumed() const { return cutter_.consumed(); }

private:
    StnByteSource *source_;
    StnLineCutter cutter_;
    bool failed_ = false;
};

// size bytes at offset of source into *text (a line found before). False
// when the read failed or the source ended first.
bool stn_read_at(StnByteSource *source, std::uint64_t offset, std::size_t size,
                 std::string *text);
