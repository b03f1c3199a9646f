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

StnLineReader::StnLineReader(StnByteSource *source, std::size_t chunk)
    : source_(source),
      max_(std::max<std::size_t>(chunk, 2)),
      size_(std::min(kFirst, max_)),
      buf_(new char[size_]) {}

void StnLineReader::grow() {
    const std::size_t to = std::min(max_, size_ * 2);
    std::unique_ptr<char[]> bigger(new char[to]);
    std::memcpy(bigger.get(), buf_.get(), end_);
    buf_ = std::move(bigger);
    size_ = to;
}

bool StnLineReader::fill() {
    std::size_t got = 0;
    if (!source_->read(base_ + end_, buf_.get() + end_, size_ - end_, &got) ||
        got > size_ - end_) {
        failed_ = true;
        return false;
    }
    if (got == 0) eof_ = true;
    if (got != 0) ++fills_;
    end_ += got;
    return true;
}

bool StnLineReader::next(StnLine *line) {
    if (failed_) return false;
    for (;;) {
        const char *from = buf_.get() + begin_;
        const char *nl = begin_ < end_ ? find_newline(from, end_ - begin_) : nullptr;
        if (nl != nullptr || (eof_ && begin_ < end_)) {
            const std::size_t n =
                nl != nullptr ? static_cast<std::size_t>(nl - from) : end_ - begin_;
            line->offset = base_ + begin_;
            line->size = n;
            line->ended = nl != nullptr;
            line->whole = true;
            line->text = std::string_view(from, n);
            begin_ += n + (nl != nullptr ? 1 : 0);
            return true;
        }
        if (eof_) return false;
        // The line begun here moves to the front, then more is read.
        if (begin_ > 0) {
            std::memmove(buf_.get(), from, end_ - begin_);
            base_ += begin_;
            end_ -= begin_;
            begin_ = 0;
        }
        // A long source, or a line that does not fit yet: a larger buffer.
        if (size_ < max_ && (fills_ >= 2 || end_ == size_)) grow();
        if (end_ < size_) {
            if (!fill()) return false;
            continue;
        }
        // A line longer than the buffer: keep its head, pass over the rest.
        head_.assign(buf_.get(), std::min(kHead, end_));
        line->offset = base_;
        line->size = end_;
        line->ended = false;
        line->whole = false;
        base_ += end_;
        end_ = 0;
        while (!line->ended) {
            if (!fill()) return false;
            if (eof_) break;
            nl = find_newline(buf_.get(), end_);
            if (nl != nullptr) {
                const auto n = static_cast<std::size_t>(nl - buf_.get());
                line->size += n;
                line->ended = true;
                begin_ = n + 1;
            } else {
                line->size += end_;
                base_ += end_;
                end_ = 0;
            }
        }
        line->text = head_;
        return true;
    }
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
