// The MES stand-in (mes_standin.py, started by with_mes_standin.sh) as a
// Windows test under Wine sees it: its port, its script (script.json) and
// the requests it recorded (requests.jsonl). Header-only; needs
// nlohmann-json. The test thread only.
#pragma once

#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace mes_standin {

using Json = nlohmann::json;

// A Unix folder from the environment as a Windows path (Wine's Z:).
inline std::string folder(const char *var) {
    const char *v = std::getenv(var);
    if (v == nullptr || *v == '\0') return std::string();
    std::string dos = std::string("Z:") + v;
    for (char &c : dos) c = c == '/' ? '\\' : c;
    return dos;
}

inline std::string read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

inline void write_file(const std::string &path, const std::string &text) {
    std::ofstream(path + ".tmp", std::ios::binary | std::ios::trunc) << text;
    MoveFileExA((path + ".tmp").c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

class StandIn {
public:
    explicit StandIn(const char *var) : dir_(folder(var)) {
        if (dir_.empty()) return;
        const std::string info = read_file(dir_ + "\\standin.json");
        const Json j = Json::parse(info, nullptr, false);
        if (j.is_object()) {
            port_ = j.value("port", 0);
            closed_port_ = j.value("closed_port", 0);
        }
    }
    bool ok() const { return port_ != 0; }
    std::string dir() const { return dir_; }
    int port() const { return port_; }
    int closed_port() const { return closed_port_; }
    void script(const Json &j) const { write_file(dir_ + "\\script.json", j.dump()); }
    // Every request since the last call.
    std::vector<Json> requests() {
        const std::string all = read_file(dir_ + "\\requests.jsonl");
        std::vector<Json> out;
        std::istringstream lines(all.substr(seen_));
        seen_ = all.size();
        for (std::string l; std::getline(lines, l);) out.push_back(Json::parse(l));
        return out;
    }

private:
    std::string dir_;
    int port_ = 0, closed_port_ = 0;
    std::size_t seen_ = 0;
};

}  // namespace mes_standin
