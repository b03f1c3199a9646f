// qvm_hex2c on small firmware files written by the tests.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

// One Intel HEX record with a correct checksum.
std::string rec(int type, unsigned offset, const std::vector<int> &data) {
    std::vector<int> raw{static_cast<int>(data.size()), static_cast<int>(offset >> 8 & 0xFF),
                         static_cast<int>(offset & 0xFF), type};
    raw.insert(raw.end(), data.begin(), data.end());
    int sum = 0;
    for (int b : raw) sum += b;
    raw.push_back(-sum & 0xFF);
    std::string s = ":";
    char buf[3];
    for (int b : raw) {
        std::snprintf(buf, sizeof buf, "%02X", b);
        s += buf;
    }
    return s + "\n";
}
const std::string kEof = rec(1, 0, {});
std::string upper(unsigned hi) { return rec(4, 0, {static_cast<int>(hi >> 8), static_cast<int>(hi & 0xFF)}); }

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

class Hex2c : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/hex2c_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    static std::string slurp(const std::string &p) {
        std::ifstream in(p, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    bool exists(const std::string &name) const {
        struct stat st;
        return ::stat(path(name).c_str(), &st) == 0;
    }
    ToolRun run(const std::string &args) {
        const std::string cmd = std::string("'") + QVM_HEX2C + "' " + args + " >'" + path("out.txt") +
                                "' 2>'" + path("err.txt") + "'";
        const int st = std::system(cmd.c_str());
        return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, slurp(path("out.txt")), slurp(path("err.txt"))};
    }
    // Converts text against the table; outputs t.h and t.cpp.
    ToolRun convert(const std::string &text, const std::string &table) {
        std::ofstream(path("fw.hex"), std::ios::binary) << text;
        return run("--name t " + table + " '" + path("fw.hex") + "' '" + path("t.h") + "' '" +
                   path("t.cpp") + "'");
    }
    ToolRun list(const std::string &text) {
        std::ofstream(path("fw.hex"), std::ios::binary) << text;
        return run("--list '" + path("fw.hex") + "'");
    }

    std::string dir_;
};

// A well-formed two-segment file: 3 bytes at 0x10, 2 bytes at 0x12340000.
std::string good_file() {
    return rec(0, 0x10, {1, 2, 3}) + upper(0x1234) + rec(0, 0, {0xAA, 0xBB}) + kEof;
}
const char kGoodTable[] = "--segment 0x10:3 --segment 0x12340000:2";

TEST_F(Hex2c, WritesOneArrayAndLengthPerSegment) {
    const ToolRun r = convert(good_file(), kGoodTable);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string h = slurp(path("t.h")), cpp = slurp(path("t.cpp"));
    EXPECT_NE(h.find("extern const unsigned char c_t_000010[3];"), std::string::npos) << h;
    EXPECT_NE(h.find("extern const std::uint32_t c_t_000010_SZ;"), std::string::npos) << h;
    EXPECT_NE(h.find("extern const unsigned char c_t_12340000[2];"), std::string::npos) << h;
    EXPECT_NE(cpp.find("#include \"t.h\""), std::string::npos);
    EXPECT_NE(cpp.find("0x01, 0x02, 0x03,"), std::string::npos) << cpp;
    EXPECT_NE(cpp.find("c_t_000010_SZ = 3;"), std::string::npos) << cpp;
    EXPECT_NE(cpp.find("0xAA, 0xBB,"), std::string::npos) << cpp;
    EXPECT_NE(cpp.find("c_t_12340000_SZ = 2;"), std::string::npos) << cpp;
}

TEST_F(Hex2c, JoinsContiguousRecordsAndHonoursAddressRecords) {
    struct Case {
        const char *what;
        std::string text;
        std::string segments;  // --list output
    };
    const Case cases[] = {
        {"records out of order join", rec(0, 0x103, {4, 5}) + rec(0, 0x100, {1, 2, 3}) + kEof,
         "0x000100 5 0x0000000F\n"},
        {"a gap starts a new segment", rec(0, 0x100, {1}) + rec(0, 0x102, {2}) + kEof,
         "0x000100 1 0x00000001\n0x000102 1 0x00000002\n"},
        {"linear address joins across 64 KiB", rec(0, 0xFFFF, {7}) + upper(1) + rec(0, 0, {8}) + kEof,
         "0x00FFFF 2 0x0000000F\n"},
        {"segment address record", rec(2, 0, {0x10, 0x00}) + rec(0, 4, {9}) + kEof,
         "0x010004 1 0x00000009\n"},
        {"lower case, CR LF, blank lines, start records",
         rec(0, 0x20, {1, 2, 0x7F}) + "\n" + rec(3, 0, {0, 0, 1, 2}) + rec(5, 0, {0, 0xFE, 0, 0}) + kEof,
         "0x000020 3 0x00000082\n"},
        {"empty data record", rec(0, 0x50, {}) + rec(0, 0x60, {1}) + kEof, "0x000060 1 0x00000001\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string text = c.text;
        if (std::string(c.what).rfind("lower", 0) == 0) {
            std::string crlf;
            for (char ch : text) {
                if (ch == '\n') crlf += '\r';
                crlf += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            }
            text = crlf;
        }
        const ToolRun r = list(text);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, c.segments);
    }
}

TEST_F(Hex2c, RejectsMalformedFilesWithTheLineAtFault) {
    struct Case {
        const char *what;
        std::string text;
        std::string message;  // expected on stderr after "fw.hex"
    };
    std::string bad_sum = rec(0, 0x10, {1, 2, 3});
    bad_sum[bad_sum.size() - 2] = bad_sum[bad_sum.size() - 2] == '0' ? '1' : '0';
    std::string bad_byte = rec(0, 0x10, {1, 2, 3});
    bad_byte[9] = '9';  // first data byte changed, checksum left alone
    const Case cases[] = {
        {"checksum", bad_sum + kEof, ":1: error: bad record checksum"},
        {"data changed", rec(0, 0, {1}) + bad_byte + kEof, ":2: error: bad record checksum"},
        {"no colon", "0300100001020300E7\n" + kEof, ":1: error: record does not start with ':'"},
        {"bad digit", ":03001000010G0300E7\n" + kEof, ":1: error: invalid character 'G'"},
        {"odd digits", ":0300100001020300E\n" + kEof, ":1: error: odd number of hex digits"},
        {"too short", ":00000001\n", ":1: error: record too short"},
        {"count too big", rec(0, 0x10, {1, 2, 3}).replace(1, 2, "04") + kEof, ":1: error: byte count 4"},
        {"unknown type", rec(6, 0, {1}) + kEof, ":1: error: unknown record type 0x06"},
        {"no end", rec(0, 0x10, {1}), ": error: no end-of-file record"},
        {"empty file", "", ": error: no end-of-file record"},
        {"after end", kEof + rec(0, 0x10, {1}), ":2: error: record after the end-of-file record"},
        {"end with data", rec(0, 0x10, {1}) + rec(1, 0, {0}), ":2: error: end-of-file record with data"},
        {"short address record", rec(4, 0, {1}) + kEof, ":1: error: extended address record needs 2"},
        {"short start record", rec(5, 0, {1, 2}) + kEof, ":1: error: start address record needs 4"},
        {"past 64 KiB", rec(0, 0xFFFE, {1, 2, 3}) + kEof, ":1: error: data record runs past a 64 KiB"},
        {"overlap", rec(0, 0x10, {1, 2, 3}) + rec(0, 0x12, {4}) + kEof,
         ":2: error: data at 0x000012 overlaps"},
        {"same address twice", rec(0, 0x10, {1}) + rec(0, 0x10, {1}) + kEof, ":2: error: data at 0x000010"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const ToolRun r = convert(c.text, "--segment 0x10:3");
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("fw.hex" + c.message), std::string::npos) << r.err;
        EXPECT_FALSE(exists("t.h"));
        EXPECT_FALSE(exists("t.cpp"));
    }
}

TEST_F(Hex2c, RejectsSegmentsThatDifferFromTheTable) {
    struct Case {
        const char *what;
        std::string table;
    };
    const Case cases[] = {
        {"length", "--segment 0x10:4 --segment 0x12340000:2"},
        {"address", "--segment 0x11:3 --segment 0x12340000:2"},
        {"segment missing from the file", "--segment 0x10:3 --segment 0x12340000:2 --segment 0x20000000:1"},
        {"segment missing from the table", "--segment 0x10:3"},
        {"order", "--segment 0x12340000:2 --segment 0x10:3"},
    };
    // Outputs of an earlier good run must survive a failed one untouched.
    ASSERT_EQ(convert(good_file(), kGoodTable).status, 0);
    const std::string h = slurp(path("t.h")), cpp = slurp(path("t.cpp"));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const ToolRun r = convert(good_file(), c.table);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("the file's segments differ from the segment table"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("0x12340000 2 bytes"), std::string::npos) << r.err;  // what the file holds
        EXPECT_EQ(slurp(path("t.h")), h);
        EXPECT_EQ(slurp(path("t.cpp")), cpp);
    }
}

TEST_F(Hex2c, RejectsBadCommandLines) {
    std::ofstream(path("fw.hex")) << good_file();
    const std::string in = "'" + path("fw.hex") + "' '" + path("t.h") + "' '" + path("t.cpp") + "'";
    for (const std::string &args : std::vector<std::string>{"--name t " + in,                            // no table
                                   "--name 9t --segment 0x10:3 " + in,          // not an identifier
                                   "--name t --segment 0:3 " + in,              // address 0
                                   "--name t --segment 0x10:0 " + in,           // empty segment
                                   "--name t --segment 0xFFFFFFFF:2 " + in,     // past 4 GiB
                                   "--name t --segment 0x10 " + in,             // no length
                                   "--name t --segment 0x10:3 --bogus " + in}) {
        SCOPED_TRACE(args);
        EXPECT_EQ(run(args).status, 2);
        EXPECT_FALSE(exists("t.h"));
    }
    const ToolRun missing = run("--name t --segment 0x10:3 '" + path("none.hex") + "' a.h a.cpp");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("cannot open"), std::string::npos);
}

}  // namespace
