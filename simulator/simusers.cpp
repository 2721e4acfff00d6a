#include "simusers.h"

#include <fstream>

void SimUsers::add(const std::string &user, const std::string &password) {
    m_accounts[user] = password;
}

bool SimUsers::loadFile(const std::string &path, std::string &error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read user list " + path;
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) {
            error = path + ":" + std::to_string(number) + ": expected user:password";
            return false;
        }
        add(line.substr(0, colon), line.substr(colon + 1));
    }
    return true;
}

bool SimUsers::check(const std::string &user, const std::string &password) const {
    auto it = m_accounts.find(user);
    return it != m_accounts.end() && it->second == password;
}
