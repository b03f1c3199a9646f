#include "stn_lines.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// What is kept of a line longer than a chunk: enough to tell how it begins.
constexpr std::size_t kHead = 256;
// The first chunk.
constexpr std::size_t kFirst = std::size_t(1) << 12;

// The first '\n' in p[0..n), or nullptr. memchr of MinGW's C runtime
// (msvcrt) made most of the time of a long report's open under Wine, so
// here 64 bytes at a time, then 16.
const char *find_newline(const char *p, std::size_t n) {
#if defined(__SSE2__)
    const __m128i nl = _mm_set1_epi8('\n');
    const auto hit = [&nl](const char *at) {
        return _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(at)), nl);
    };
    while (n >= 64) {
        const __m128i any = _mm_or_si128(_mm_or_si128(hit(p), hit(p + 16)),
                                         _mm_or_si128(hit(p + 32), hit(p + 48)));
        if (_mm_movemask_epi8(any) != 0) break;
        p += 64;
        n -= 64;
    }
    while (n >= 16) {
        const int hits = _mm_movemask_epi8(hit(p));
        if (hits != 0) return p + __builtin_ctz(static_cast<unsigned>(hits));
        p += 16;
        n -= 16;
    }
#endif
    return static_cast<const char *>(std::memchr(p, '\n', n));
}

}  // namespace

bool StnMemorySource::read(std::uint64_t offset, char *buf, std::size_t n, std::size_t *got) {
    *got = 0;
    if (offset >= bytes_.size()) return true;
    *got = std::min<std::size_t>(n, bytes_.size() - static_cast<std::size_t>(offset));
    std::memcpy(buf, bytes_.data() + offset, *got);
    return true;
}

std::string_view stn_without_cr(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

StnLineCutter::StnLineCutter(std::size_t chunk, std::uint64_t offset)
    : max_(std::max<std::size_t>(chunk, 2)),
      size_(std::min(kFirst, max_)),
      buf_(new char[size_]),
      base_(offset) {}

void StnLineCutter::grow() {
    const std::size_t to = std::min(max_, size_ * 2);
    std::unique_ptr<char[]> bigger(new char[to]);
    std::memcpy(bigger.get(), buf_.get(), end_);
    buf_ = std::move(bigger);
    size_ = to;
}

char *StnLineCutter::room(std::size_t *n) {
    // The line begun here moves to the front.
    if (begin_ > 0) {
        std::memmove(buf_.get(), buf_.get() + begin_, end_ - begin_);
        base_ += begin_;
        end_ -= begin_;
        scan_ -= begin_;
        begin_ = 0;
    }
    // A long source, or a line that does not fit yet: a larger buffer.
    if (size_ < max_ && (fills_ >= 2 || end_ == size_)) grow();
    if (end_ == size_ && !long_) {
        // A line longer than the buffer: keep its head, pass over the rest.
        head_.assign(buf_.get(), std::min(kHead, end_));
        long_ = true;
        long_line_ = StnLine();
        long_line_.offset = base_;
        long_line_.size = end_;
        base_ += end_;
        end_ = scan_ = 0;
    }
    *n = size_ - end_;
    return buf_.get() + end_;
}

void StnLineCutter::put(std::size_t got) {
    if (got == 0) return;
    ++fills_;
    end_ += got;
}

std::size_t StnLineCutter::feed(std::string_view bytes) {
    if (bytes.empty()) return 0;
    std::size_t n = 0;
    char *to = room(&n);
    n = std::min(n, bytes.size());
    std::memcpy(to, bytes.data(), n);
    put(n);
    return n;
}

bool StnLineCutter::next(StnLine *line) {
    if (long_) return next_long(line);
    const char *from = buf_.get() + begin_;
    const char *nl = scan_ < end_ ? find_newline(buf_.get() + scan_, end_ - scan_) : nullptr;
    if (nl == nullptr) {
        scan_ = end_;
        if (!finished_ || begin_ == end_) return false;
    }
    const std::size_t n = nl != nullptr ? static_cast<std::size_t>(nl - from) : end_ - begin_;
    line->offset = base_ + begin_;
    line->size = n;
    line->ended = nl != nullptr;
    // A last line that fills a chunk is one longer than a chunk, as when
    // the source's end is found only after the chunk was full.
    line->whole = nl != nullptr || n < max_;
    line->text = std::string_view(from, line->whole ? n : std::min(kHead, n));
    begin_ = scan_ = begin_ + n + (nl != nullptr ? 1 : 0);
    return true;
}

bool StnLineCutter::next_long(StnLine *line) {
    const char *nl = end_ > 0 ? find_newline(buf_.get(), end_) : nullptr;
    if (nl == nullptr) {
        long_line_.size += end_;
        base_ += end_;
        end_ = 0;
        if (!finished_) return false;
        long_line_.ended = false;  // the source ended inside it
    } else {
        const auto n = static_cast<std::size_t>(nl - buf_.get());
        long_line_.size += n;
        long_line_.ended = true;
        begin_ = scan_ = n + 1;
    }
    long_ = false;
    *line = long_line_;
    line->whole = false;
    line->text = head_;
    return true;
}

StnLineReader::StnLineReader(StnByteSource *source, std::size_t chunk, std::uint64_t offset)
    : source_(source), cutter_(chunk, offset) {}

bool StnLineReader::next(StnLine *line) {
    if (failed_) return false;
    while (!cutter_.next(line)) {
        if (cutter_.finished()) return false;
        std::size_t n = 0;
        char *to = cutter_.room(&n);
        std::size_t got = 0;
        if (!source_->read(cutter_.consumed(), to, n, &got) || got > n) {
            failed_ = true;
            return false;
        }
        if (got == 0) {
            cutter_.finish();
        } else {
            cutter_.put(got);
        }
    }
    return true;
}

bool stn_read_at(StnByteSource *source, std::uint64_t offset, std::size_t size,
                 std::string *text) {
    text->resize(size);
    std::size_t done = 0;
    while (done < size) {
        std::size_t got = 0;
        if (!source->read(offset + done, &(*text)[done], size - done, &got) || got == 0 ||
            got > size - done) {
            return false;
        }
        done += got;
    }
    return true;
}
