// The password of a connection string kept unshown: in the string itself
// and in any text that may quote it (a driver's message). Any thread.
#include "stn_deliver.h"

#include <cstring>

namespace {

bool lower_equal(const std::string &a, const char *b) {
    if (a.size() != std::strlen(b)) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != b[i]) return false;
    }
    return true;
}

// One key=value item of a connection string: where its value starts and
// ends (braces included).
struct CsItem {
    std::string key;
    std::size_t value_begin = 0, value_end = 0;
};

std::vector<CsItem> cs_items(const std::string &cs) {
    std::vector<CsItem> items;
    std::size_t i = 0;
    while (i < cs.size()) {
        const std::size_t eq = cs.find('=', i);
        const std::size_t semi = cs.find(';', i);
        if (eq == std::string::npos || (semi != std::string::npos && semi < eq)) {
            if (semi == std::string::npos) break;
            i = semi + 1;
            continue;
        }
        CsItem it;
        it.key = cs.substr(i, eq - i);
        it.key.erase(0, it.key.find_first_not_of(" \t"));
        it.key.erase(it.key.find_last_not_of(" \t") + 1);
        it.value_begin = eq + 1;
        std::size_t j = eq + 1;
        while (j < cs.size() && (cs[j] == ' ' || cs[j] == '\t')) ++j;
        if (j < cs.size() && cs[j] == '{') {
            // Braced: runs to the closing brace ("}}" is a brace inside).
            ++j;
            while (j < cs.size()) {
                if (cs[j] == '}') {
                    if (j + 1 < cs.size() && cs[j + 1] == '}') {
                        j += 2;
                        continue;
                    }
                    ++j;
                    break;
                }
                ++j;
            }
            const std::size_t s = cs.find(';', j);
            it.value_end = s == std::string::npos ? cs.size() : s;
        } else {
            const std::size_t s = cs.find(';', j);
            it.value_end = s == std::string::npos ? cs.size() : s;
        }
        items.push_back(it);
        i = it.value_end + 1;
    }
    return items;
}

bool is_secret_key(const std::string &key) {
    return lower_equal(key, "pwd") || lower_equal(key, "password");
}

}  // namespace

std::string stn_db_redact(const std::string &cs) {
    std::string out;
    std::size_t from = 0;
    for (const CsItem &it : cs_items(cs)) {
        if (!is_secret_key(it.key)) continue;
        out += cs.substr(from, it.value_begin - from) + "***";
        from = it.value_end;
    }
    return out + cs.substr(from);
}

std::string stn_db_redact_in(const std::string &text, const std::string &cs) {
    std::vector<std::string> secrets;
    for (const CsItem &it : cs_items(cs)) {
        if (!is_secret_key(it.key)) continue;
        std::string secret = cs.substr(it.value_begin, it.value_end - it.value_begin);
        secret.erase(0, secret.find_first_not_of(" \t"));
        secret.erase(secret.find_last_not_of(" \t") + 1);
        if (secret.size() >= 2 && secret.front() == '{' && secret.back() == '}') {
            // Braced: "}}" stands for one brace.
            std::string plain;
            for (std::size_t k = 1; k + 1 < secret.size(); ++k) {
                plain += secret[k];
                if (secret[k] == '}' && secret[k + 1] == '}') ++k;
            }
            secret = plain;
        }
        secrets.push_back(secret);
    }
    return stn_redact_in(text, secrets);
}

std::string stn_redact_in(const std::string &text, const std::vector<std::string> &secrets) {
    std::string out = text;
    for (const std::string &secret : secrets) {
        if (secret.empty()) continue;
        for (std::size_t at = out.find(secret); at != std::string::npos;
             at = out.find(secret, at + 3)) {
            out.replace(at, secret.size(), "***");
        }
    }
    return out;
}

std::string stn_url_redact(const std::string &url) {
    const std::size_t scheme = url.find("://");
    const std::size_t from = scheme == std::string::npos ? 0 : scheme + 3;
    const std::size_t end = url.find_first_of("/?#", from);
    const std::size_t at = url.rfind('@', end == std::string::npos ? url.size() - 1 : end);
    if (at == std::string::npos || at < from) return url;
    const std::size_t colon = url.find(':', from);
    if (colon == std::string::npos || colon > at) return url;
    return url.substr(0, colon + 1) + "***" + url.substr(at);
}

std::string stn_header_redact(const std::string &header) {
    const std::size_t colon = header.find(':');
    if (colon == std::string::npos) return "***";
    return header.substr(0, colon + 1) + " ***";
}
