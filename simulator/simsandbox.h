#pragma once
// The simulator's private state on disk: a file tree that clients work in and the configuration
// database. Every path a client names is resolved inside the file tree and can never leave it.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct SimResult {
    int err = 0;
    std::string info;
};

// Opens a file as fopen does, but never through a symbolic link in its last component: a link
// placed in the tree must not lead a read or write elsewhere. Mode "rb", "wb" or "ab".
FILE *simOpenNoFollow(const std::string &path, const char *mode);

class SimSandbox {
public:
    // Creates <root>/files and <root>/config (new folders only for their owner); generates a
    // database of initialSize bytes when none exists yet. A root that belongs to another user is
    // refused: whoever owns it could swap the simulator's files under it.
    bool open(const std::string &root, uint32_t initialDbSize, std::string &error);

    const std::string &filesRoot() const { return m_files; }
    const std::string &dbPath() const { return m_db; }

    // Maps a relative client path to a path inside the file tree. Absolute paths, paths that climb
    // above the tree with "..", and paths reaching outside through a symbolic link are refused.
    bool resolve(const std::string &clientPath, std::string &out, std::string &why) const;

    SimResult createFolder(const std::string &clientPath);
    SimResult deleteFolder(const std::string &clientPath);
    SimResult createFile(const std::string &clientPath);
    SimResult deleteFile(const std::string &clientPath);
    SimResult appendFile(const std::string &clientPath, const unsigned char *data, size_t length,
                         size_t &written);
    // Empty text when the path is refused or the file cannot be read.
    std::string fileMd5(const std::string &clientPath) const;
    SimResult listFolder(const std::string &clientPath) const;
    SimResult readText(const std::string &clientPath, size_t limit) const;
    bool exists(const std::string &clientPath) const;
    // Size of a file in the tree; 0 when it does not exist.
    uint64_t fileSize(const std::string &clientPath) const;

    std::string dbMd5() const;
    uint64_t dbSize() const;
    bool readDb(uint64_t offset, size_t length, std::vector<unsigned char> &out) const;
    // Replaces the database by the client file when its MD5 equals md5; info tells the outcome.
    SimResult replaceDb(const std::string &clientPath, const std::string &md5, std::string &newMd5);

private:
    bool insideTree(const std::string &path) const;

    std::string m_root;
    std::string m_files;
    std::string m_filesReal;
    std::string m_db;
};
