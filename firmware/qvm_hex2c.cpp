// qvm_hex2c: build-host tool that turns an Intel HEX firmware file into a C++
// data unit, one constant array and one length constant per segment.
//
//   qvm_hex2c --name NAME --segment ADDR:LEN [--segment ...] IN.hex OUT.h OUT.cpp
//   qvm_hex2c --list IN.hex
//
// A segment is a run of contiguous data bytes; its arrays are named
// c_NAME_AAAAAA (AAAAAA the start address, six or more upper-case hex
// digits) with the length in c_NAME_AAAAAA_SZ. The file's segments must equal
// the --segment table exactly, or nothing is written. --list prints the
// segments found ("0xADDRESS LENGTH SUM" a line) and writes nothing.
//
// Exit status: 0 done; 1 the file is malformed or does not match the table
// (message "FILE:LINE: error: ..." on stderr); 2 bad command line; 3 an
// output file could not be written.
//
// Accepted records: 00 data, 01 end of file (the last record), 02 extended
// segment address, 04 extended linear address, 03 and 05 start addresses
// (checked, otherwise ignored). Blank lines and CR LF line ends are allowed;
// anything else that breaks the record syntax, a record checksum, an unknown
// type, overlapping data or a record that runs past a 64 KiB boundary is an
// error. Outputs go to a temporary name first and are renamed into place, so
// a failed run never leaves a half-written unit behind.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Chunk {                 // the bytes of one data record
    std::uint32_t addr;
    std::size_t line;
    std::vector<std::uint8_t> bytes;
};

struct Segment {
    std::uint32_t addr = 0;
    std::vector<std::uint8_t> bytes;
};

struct Expected {
    std::uint32_t addr;
    std::uint32_t len;
};

struct Failure {
    std::size_t line = 0;      // 0: not tied to one line
    std::string text;
};

std::string hex_addr(std::uint64_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%06llX", static_cast<unsigned long long>(v));
    return buf;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Parses one record line (without its line end) into bytes, or says why not.
bool decode_record(const std::string &text, std::vector<std::uint8_t> *raw, std::string *why) {
    if (text.empty() || text[0] != ':') {
        *why = "record does not start with ':'";
        return false;
    }
    std::size_t digits = text.size() - 1;
    for (std::size_t i = 1; i < text.size(); ++i) {
        if (hex_digit(text[i]) < 0) {
            *why = "invalid character '" + std::string(1, text[i]) + "' in record";
            return false;
        }
    }
    if (digits % 2 != 0) {
        *why = "odd number of hex digits in record";
        return false;
    }
    if (digits < 10) {
        *why = "record too short";
        return false;
    }
    raw->clear();
    for (std::size_t i = 1; i < text.size(); i += 2)
        raw->push_back(static_cast<std::uint8_t>(hex_digit(text[i]) * 16 + hex_digit(text[i + 1])));
    if ((*raw)[0] + 5u != raw->size()) {
        *why = "byte count " + std::to_string((*raw)[0]) + " does not match the record's " +
               std::to_string(raw->size() - 5) + " data bytes";
        return false;
    }
    unsigned sum = 0;
    for (std::uint8_t b : *raw) sum += b;
    if ((sum & 0xFF) != 0) {
        unsigned found = raw->back();
        unsigned want = (found - sum) & 0xFF;
        char buf[96];
        std::snprintf(buf, sizeof buf, "bad record checksum 0x%02X (should be 0x%02X)", found, want);
        *why = buf;
        return false;
    }
    return true;
}

// The records other than data have a fixed number of data bytes; false
// (and why) when one has another.
bool fixed_length_ok(std::uint8_t type, std::uint8_t count, std::string *why) {
    struct Fixed {
        std::uint8_t type, count;
        const char *wrong;
    };
    static const Fixed kFixed[] = {
        {0x01, 0, "end-of-file record with data"},
        {0x02, 2, "extended address record needs 2 data bytes"},
        {0x04, 2, "extended address record needs 2 data bytes"},
        {0x03, 4, "start address record needs 4 data bytes"},
        {0x05, 4, "start address record needs 4 data bytes"},
    };
    for (const Fixed &f : kFixed) {
        if (f.type == type && f.count != count) {
            *why = f.wrong;
            return false;
        }
    }
    return true;
}

// Reads the whole file into data chunks.
bool parse_file(const std::string &content, std::vector<Chunk> *chunks, Failure *fail) {
    std::uint32_t base = 0;
    bool ended = false;
    std::size_t line_no = 0;
    std::size_t pos = 0;
    std::vector<std::uint8_t> raw;
    while (pos < content.size()) {
        std::size_t nl = content.find('\n', pos);
        std::string text = content.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? content.size() : nl + 1;
        ++line_no;
        if (!text.empty() && text.back() == '\r') text.pop_back();
        if (text.find_first_not_of(" \t") == std::string::npos) continue;
        fail->line = line_no;
        if (ended) {
            fail->text = "record after the end-of-file record";
            return false;
        }
        if (!decode_record(text, &raw, &fail->text)) return false;
        const std::uint8_t count = raw[0];
        const std::uint32_t offset = static_cast<std::uint32_t>(raw[1]) << 8 | raw[2];
        const std::uint8_t type = raw[3];
        const std::uint8_t *data = raw.data() + 4;
        if (!fixed_length_ok(type, count, &fail->text)) return false;
        switch (type) {
        case 0x00:
            if (offset + count > 0x10000u) {
                fail->text = "data record runs past a 64 KiB boundary";
                return false;
            }
            chunks->push_back({base + offset, line_no, std::vector<std::uint8_t>(data, data + count)});
            break;
        case 0x01:
            ended = true;
            break;
        case 0x02:
        case 0x04:
            base = static_cast<std::uint32_t>(data[0]) << 8 | data[1];
            base <<= type == 0x02 ? 4 : 16;
            break;
        case 0x03:
        case 0x05:
            break;
        default: {
            char buf[48];
            std::snprintf(buf, sizeof buf, "unknown record type 0x%02X", type);
            fail->text = buf;
            return false;
        }
        }
    }
    fail->line = 0;
    if (!ended) {
        fail->text = "no end-of-file record";
        return false;
    }
    return true;
}

// Sorts the chunks and joins contiguous ones into segments.
bool build_segments(std::vector<Chunk> chunks, std::vector<Segment> *segs, Failure *fail) {
    std::stable_sort(chunks.begin(), chunks.end(),
                     [](const Chunk &a, const Chunk &b) { return a.addr < b.addr; });
    std::uint64_t next = 0;  // one past the last byte of the segment being built
    for (const Chunk &c : chunks) {
        if (c.bytes.empty()) continue;
        if (!segs->empty() && c.addr < next) {
            fail->line = c.line;
            fail->text = "data at " + hex_addr(c.addr) + " overlaps data given earlier";
            return false;
        }
        if (segs->empty() || c.addr != next) {
            segs->push_back({});
            segs->back().addr = c.addr;
        }
        segs->back().bytes.insert(segs->back().bytes.end(), c.bytes.begin(), c.bytes.end());
        next = static_cast<std::uint64_t>(c.addr) + c.bytes.size();
    }
    return true;
}

std::string describe(const std::vector<Segment> &segs) {
    std::string s;
    for (const Segment &g : segs)
        s += "  " + hex_addr(g.addr) + " " + std::to_string(g.bytes.size()) + " bytes\n";
    return s.empty() ? "  (none)\n" : s;
}

std::string describe(const std::vector<Expected> &table) {
    std::string s;
    for (const Expected &e : table) s += "  " + hex_addr(e.addr) + " " + std::to_string(e.len) + " bytes\n";
    return s;
}

bool matches(const std::vector<Segment> &segs, const std::vector<Expected> &table) {
    if (segs.size() != table.size()) return false;
    for (std::size_t i = 0; i < segs.size(); ++i)
        if (segs[i].addr != table[i].addr || segs[i].bytes.size() != table[i].len) return false;
    return true;
}

std::string segment_name(const std::string &name, std::uint32_t addr) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%06X", static_cast<unsigned>(addr));
    return "c_" + name + "_" + buf;
}

std::string base_name(const std::string &path) {
    std::size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string header_text(const std::string &name, const std::string &source,
                        const std::vector<Segment> &segs) {
    std::ostringstream o;
    o << "// Generated by qvm_hex2c from " << source << "; do not edit.\n"
      << "// Firmware image segments: the bytes of each and its length in bytes.\n"
      << "#pragma once\n\n#include <cstdint>\n\n";
    for (const Segment &g : segs) {
        std::string n = segment_name(name, g.addr);
        o << "// device address " << hex_addr(g.addr) << "\n"
          << "extern const unsigned char " << n << "[" << g.bytes.size() << "];\n"
          << "extern const std::uint32_t " << n << "_SZ;\n";
    }
    return o.str();
}

std::string source_text(const std::string &header, const std::string &source,
                        const std::string &name, const std::vector<Segment> &segs) {
    std::ostringstream o;
    o << "// Generated by qvm_hex2c from " << source << "; do not edit.\n"
      << "#include \"" << header << "\"\n";
    char buf[8];
    for (const Segment &g : segs) {
        std::string n = segment_name(name, g.addr);
        o << "\nextern const unsigned char " << n << "[" << g.bytes.size() << "] = {";
        for (std::size_t i = 0; i < g.bytes.size(); ++i) {
            std::snprintf(buf, sizeof buf, "0x%02X,", g.bytes[i]);
            o << (i % 16 == 0 ? "\n    " : " ") << buf;
        }
        o << "\n};\nextern const std::uint32_t " << n << "_SZ = " << g.bytes.size() << ";\n";
    }
    return o.str();
}

bool write_file(const std::string &path, const std::string &text) {
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) {
            std::remove(tmp.c_str());
            return false;
        }
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

bool parse_number(const std::string &s, std::uint64_t *v) {
    if (s.empty()) return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long n = std::strtoull(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || s[0] == '-') return false;
    *v = n;
    return true;
}

bool parse_expected(const std::string &arg, Expected *e) {
    std::size_t colon = arg.find(':');
    std::uint64_t a = 0, n = 0;
    if (colon == std::string::npos || !parse_number(arg.substr(0, colon), &a) ||
        !parse_number(arg.substr(colon + 1), &n))
        return false;
    // A segment at address 0 could not be told from the table's terminator.
    if (a == 0 || n == 0 || a + n - 1 > 0xFFFFFFFFull) return false;
    e->addr = static_cast<std::uint32_t>(a);
    e->len = static_cast<std::uint32_t>(n);
    return true;
}

bool is_identifier(const std::string &s) {
    if (s.empty() || std::isdigit(static_cast<unsigned char>(s[0]))) return false;
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

int usage() {
    std::fprintf(stderr,
                 "usage: qvm_hex2c --name NAME --segment ADDR:LEN [--segment ADDR:LEN ...] "
                 "IN.hex OUT.h OUT.cpp\n"
                 "       qvm_hex2c --list IN.hex\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    std::string name;
    bool list = false;
    std::vector<Expected> table;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--list") {
            list = true;
        } else if (a == "--name" && i + 1 < argc) {
            name = argv[++i];
            if (!is_identifier(name)) return usage();
        } else if (a == "--segment" && i + 1 < argc) {
            Expected e{};
            if (!parse_expected(argv[++i], &e)) {
                std::fprintf(stderr, "qvm_hex2c: bad --segment '%s' (want ADDR:LEN, ADDR > 0, LEN > 0)\n",
                             argv[i]);
                return 2;
            }
            table.push_back(e);
        } else if (!a.empty() && a[0] == '-') {
            return usage();
        } else {
            files.push_back(a);
        }
    }
    if (list ? files.size() != 1 : (files.size() != 3 || name.empty() || table.empty())) return usage();

    const std::string &in_path = files[0];
    std::ifstream in(in_path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "%s: error: cannot open the firmware file\n", in_path.c_str());
        return 1;
    }
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    std::vector<Chunk> chunks;
    std::vector<Segment> segs;
    Failure fail;
    if (!parse_file(content, &chunks, &fail) || !build_segments(std::move(chunks), &segs, &fail)) {
        if (fail.line != 0)
            std::fprintf(stderr, "%s:%zu: error: %s\n", in_path.c_str(), fail.line, fail.text.c_str());
        else
            std::fprintf(stderr, "%s: error: %s\n", in_path.c_str(), fail.text.c_str());
        return 1;
    }

    if (list) {
        for (const Segment &g : segs) {
            std::uint32_t sum = 0;
            for (std::uint8_t b : g.bytes) sum += b;
            std::printf("%s %zu 0x%08X\n", hex_addr(g.addr).c_str(), g.bytes.size(), sum);
        }
        return 0;
    }

    if (!matches(segs, table)) {
        std::fprintf(stderr,
                     "%s: error: the file's segments differ from the segment table\n"
                     "the file holds:\n%sthe table expects:\n%s",
                     in_path.c_str(), describe(segs).c_str(), describe(table).c_str());
        return 1;
    }

    const std::string source = base_name(in_path);
    if (!write_file(files[1], header_text(name, source, segs)) ||
        !write_file(files[2], source_text(base_name(files[1]), source, name, segs))) {
        std::fprintf(stderr, "qvm_hex2c: error: cannot write %s or %s\n", files[1].c_str(),
                     files[2].c_str());
        return 3;
    }
    return 0;
}
