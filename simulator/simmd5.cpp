#include "simmd5.h"

#include "simsandbox.h"

#include <openssl/evp.h>

#include <cstdio>
#include <memory>

namespace {

struct MdCtxFree
{
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

std::string hex(const unsigned char* digest, unsigned length)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < length; ++i) {
        out += digits[digest[i] >> 4];
        out += digits[digest[i] & 15];
    }
    return out;
}

} // namespace

std::string SimMd5::ofBytes(const void* data, size_t length)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!EVP_Digest(data, length, digest, &n, EVP_md5(), nullptr))
        return {};
    return hex(digest, n);
}

std::string SimMd5::ofFile(const std::string& path)
{
    std::unique_ptr<FILE, int (*)(FILE*)> f(simOpenNoFollow(path, "rb"), &std::fclose);
    if (!f)
        return {};
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!ctx || !EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr))
        return {};
    unsigned char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f.get())) > 0)
        EVP_DigestUpdate(ctx.get(), buffer, n);
    if (std::ferror(f.get()))
        return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx.get(), digest, &len);
    return hex(digest, len);
}
