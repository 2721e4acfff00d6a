#ifndef KVT_OLMOMD5STREAM_H
#define KVT_OLMOMD5STREAM_H

#include <cstddef>
#include <string>

namespace kvt {

// MD5 over bytes fed in pieces (a download hashes its blocks as it writes them,
// instead of reading the whole file again at the end).
class kvtOlmoMd5Stream {
 public:
  kvtOlmoMd5Stream();
  ~kvtOlmoMd5Stream();
  kvtOlmoMd5Stream(const kvtOlmoMd5Stream&) = delete;
  kvtOlmoMd5Stream& operator=(const kvtOlmoMd5Stream&) = delete;

  void Reset();
  void Update(const void* data, size_t length);
  // 32 lower-case hexadecimal digits; empty when the digest could not be computed.
  std::string Final();

 private:
  void* m_pContext;  // EVP_MD_CTX
  bool m_bOk;
};

}  // namespace kvt

#endif
