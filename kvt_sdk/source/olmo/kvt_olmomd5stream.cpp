#include "kvt_olmomd5stream.h"

#include <openssl/evp.h>

namespace kvt {

kvtOlmoMd5Stream::kvtOlmoMd5Stream() : m_pContext(EVP_MD_CTX_new()), m_bOk(false) { Reset(); }

kvtOlmoMd5Stream::~kvtOlmoMd5Stream() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(m_pContext)); }

void kvtOlmoMd5Stream::Reset() {
  m_bOk = m_pContext && EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(m_pContext), EVP_md5(), nullptr) == 1;
}

void kvtOlmoMd5Stream::Update(const void* data, size_t length) {
  if (m_bOk && length) m_bOk = EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(m_pContext), data, length) == 1;
}

std::string kvtOlmoMd5Stream::Final() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  const bool ok = m_bOk && EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(m_pContext), digest, &size) == 1;
  Reset();
  if (!ok) return std::string();
  static const char hex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < size; ++i) {
    text += hex[digest[i] >> 4];
    text += hex[digest[i] & 0x0F];
  }
  return text;
}

}  // namespace kvt
