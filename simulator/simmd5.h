#pragma once
// Lower-case hexadecimal MD5 digests of byte blocks and files.
#include <string>

class SimMd5
{
public:
    static std::string ofBytes(const void* data, size_t length);
    // Empty text when the file cannot be read.
    static std::string ofFile(const std::string& path);
};
