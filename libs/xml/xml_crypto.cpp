// Signing and encryption of elements (OpenSSL): a detached PKCS #7 signature over the exported
// element text, an enveloped message for certificate holders (RC4 content encryption), and
// AES-256 with a key derived from the SHA-1 of a password.
#include <dirent.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/provider.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "libs/xml/xml_document.h"
#include "libs/xml/xml_text.h"

namespace nimbo {
namespace {

constexpr std::string_view kSignatureAttribute = "__signature__";

std::mutex g_storeLock;
std::string g_storeFolder;

template <typename T, void (*F)(T*)>
struct Deleter {
  void operator()(T* p) const { F(p); }
};
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, Deleter<PKCS7, PKCS7_free>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo, CMS_ContentInfo_free>>;
using CtxPtr = std::unique_ptr<OSSL_LIB_CTX, Deleter<OSSL_LIB_CTX, OSSL_LIB_CTX_free>>;
using CipherPtr = std::unique_ptr<EVP_CIPHER, Deleter<EVP_CIPHER, EVP_CIPHER_free>>;

X509Ptr ReadCertificate(std::string_view pem) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  return X509Ptr(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

KeyPtr ReadKey(std::string_view pem) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  return KeyPtr(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

std::string CertificatePem(X509* cert) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || !cert || PEM_write_bio_X509(bio.get(), cert) != 1) return {};
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(n));
}

// The element as the signature covers it: escaped 8-bit text with its children.
std::string ExportedText(XmlElement* e) {
  e->SwapInAllChildren();
  std::string text;
  XmlTarget target;
  target.buffer = &text;
  e->Export(target, 1, 1, kXmlSaveText, nullptr);
  return text;
}

// A library context with the legacy provider (RC4), made for one call.
struct LegacyContext {
  CtxPtr ctx{OSSL_LIB_CTX_new()};
  OSSL_PROVIDER* legacy = nullptr;
  OSSL_PROVIDER* base = nullptr;
  LegacyContext() {
    if (!ctx) return;
    base = OSSL_PROVIDER_load(ctx.get(), "default");
    legacy = OSSL_PROVIDER_load(ctx.get(), "legacy");
  }
  ~LegacyContext() {
    if (legacy) OSSL_PROVIDER_unload(legacy);
    if (base) OSSL_PROVIDER_unload(base);
  }
  bool Ok() const { return ctx && legacy && base; }
};

std::string StoreFolder() {
  std::lock_guard<std::mutex> lock(g_storeLock);
  if (!g_storeFolder.empty()) return g_storeFolder;
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (config && *config)
    base = config;
  else if (const char* home = std::getenv("HOME"))
    base = std::string(home) + "/.config";
  else
    return {};
  return base + "/Nimbo/My/";
}

// Every PEM file of the store folder, read whole.
std::vector<std::string> StoreFiles() {
  std::vector<std::string> files;
  const std::string folder = StoreFolder();
  DIR* dir = folder.empty() ? nullptr : opendir(folder.c_str());
  if (!dir) return files;
  while (dirent* d = readdir(dir)) {
    if (d->d_name[0] == '.') continue;
    std::string path = folder + "/" + d->d_name;
    BioPtr bio(BIO_new_file(path.c_str(), "rb"));
    if (!bio) continue;
    std::string text;
    char buf[4096];
    int n;
    while ((n = BIO_read(bio.get(), buf, sizeof buf)) > 0 && text.size() < (1u << 20)) text.append(buf, n);
    files.push_back(text);
  }
  closedir(dir);
  return files;
}

XmlElement* Target(XmlElement* self, int index) {
  if (index == -1) return self;
  if (index < 0 || static_cast<std::size_t>(index) >= self->children.size()) return nullptr;
  if (!self->children[index]) self->SwapInChild(index);
  return self->children[index].get();
}

}  // namespace

void SetXmlCertificateStore(const std::string& folder) {
  std::lock_guard<std::mutex> lock(g_storeLock);
  g_storeFolder = folder;
}

bool XmlElement::Sign(int index, std::string_view certificatePem, std::string_view privateKeyPem) {
  XmlElement* e = Target(this, index);
  if (!e || certificatePem.empty() || e->FindAttribute(kSignatureAttribute)) return false;
  X509Ptr cert = ReadCertificate(certificatePem);
  KeyPtr key = ReadKey(privateKeyPem);
  if (!cert || !key) return false;
  const std::string text = ExportedText(e);
  BioPtr in(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  const int flags = PKCS7_DETACHED | PKCS7_BINARY | PKCS7_PARTIAL;
  Pkcs7Ptr p7(PKCS7_sign(nullptr, nullptr, nullptr, nullptr, flags));
  if (!p7 || !in || !PKCS7_sign_add_signer(p7.get(), cert.get(), key.get(), EVP_sha1(), 0) ||
      PKCS7_final(p7.get(), in.get(), flags) != 1)
    return false;
  unsigned char* der = nullptr;
  const int n = i2d_PKCS7(p7.get(), &der);
  if (n <= 0) return false;
  e->AddBinaryAttribute(kSignatureAttribute, der, static_cast<std::size_t>(n));
  OPENSSL_free(der);
  return true;
}

std::string XmlElement::GetSignature(int index) {
  XmlElement* e = Target(this, index);
  XmlAttribute* a = e ? e->FindAttribute(kSignatureAttribute) : nullptr;
  std::string bytes;
  if (a) a->GetBinaryValue(&bytes);
  return bytes;
}

bool XmlElement::RemoveSignature(int index) {
  XmlElement* e = Target(this, index);
  if (!e) return false;
  bool removed = false;
  while (XmlAttribute* a = e->FindAttribute(kSignatureAttribute)) {
    e->RemoveAttribute(a);
    removed = true;
  }
  return removed;
}

bool XmlElement::VerifySignature(int index, std::string* signerCertificatePem) {
  XmlElement* e = Target(this, index);
  XmlAttribute* a = e ? e->FindAttribute(kSignatureAttribute) : nullptr;
  if (!a) return false;
  std::string der;
  a->GetBinaryValue(&der);
  // The signature covers the element without its signature attribute; it is put back last.
  std::unique_ptr<XmlAttribute> saved = e->DetachAttribute(e->IndexOfAttribute(a));
  const std::string text = ExportedText(e);
  saved->owner = e;
  e->attributes.push_back(std::move(saved));
  const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
  CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, static_cast<long>(der.size())));
  BioPtr content(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  if (!cms || !content) return false;
  const bool ok = CMS_verify(cms.get(), nullptr, nullptr, content.get(), nullptr,
                             CMS_DETACHED | CMS_BINARY | CMS_NO_SIGNER_CERT_VERIFY) == 1;
  if (ok && signerCertificatePem) {
    STACK_OF(X509)* signers = CMS_get0_signers(cms.get());
    *signerCertificatePem = signers && sk_X509_num(signers) > 0 ? CertificatePem(sk_X509_value(signers, 0)) : "";
    sk_X509_free(signers);
  }
  ERR_clear_error();
  return ok;
}

std::unique_ptr<XmlElement> XmlElement::EncryptForRecipients(int index,
                                                             const std::vector<std::string>& certificatePems) {
  XmlElement* e = Target(this, index);
  if (!e || certificatePems.empty()) return nullptr;
  LegacyContext lc;
  if (!lc.Ok()) return nullptr;
  STACK_OF(X509)* recipients = sk_X509_new_null();
  bool ok = recipients != nullptr;
  for (const std::string& pem : certificatePems) {
    X509Ptr cert = ReadCertificate(pem);
    if (!cert || !sk_X509_push(recipients, cert.get())) {
      ok = false;
      break;
    }
    (void)cert.release();
  }
  std::unique_ptr<XmlElement> result;
  if (ok) {
    const std::string text = ExportedText(e);
    BioPtr in(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    CipherPtr rc4(EVP_CIPHER_fetch(lc.ctx.get(), "RC4", nullptr));
    CmsPtr cms(rc4 && in ? CMS_encrypt_ex(recipients, in.get(), rc4.get(), CMS_BINARY, lc.ctx.get(), nullptr)
                         : nullptr);
    unsigned char* der = nullptr;
    const int n = cms ? i2d_CMS_ContentInfo(cms.get(), &der) : 0;
    if (n > 0) {
      result = std::make_unique<XmlElement>(nullptr, "<e />");
      result->name = e->name;
      result->AddBinaryAttribute("v", der, static_cast<std::size_t>(n));
    }
    OPENSSL_free(der);
  }
  sk_X509_pop_free(recipients, X509_free);
  ERR_clear_error();
  return result;
}

std::unique_ptr<XmlElement> XmlElement::DecryptFromRecipients(int index, std::string* certificatePem) {
  XmlElement* e = Target(this, index);
  XmlAttribute* v = e ? e->FindAttribute("v") : nullptr;
  if (!v) return nullptr;
  std::string der;
  v->GetBinaryValue(&der);
  LegacyContext lc;
  if (!lc.Ok()) return nullptr;
  // Each certificate of the store with each private key found there.
  std::vector<X509Ptr> certs;
  std::vector<KeyPtr> keys;
  for (const std::string& file : StoreFiles()) {
    if (X509Ptr c = ReadCertificate(file)) certs.push_back(std::move(c));
    if (KeyPtr k = ReadKey(file)) keys.push_back(std::move(k));
  }
  for (const auto& cert : certs)
    for (const auto& key : keys) {
      const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
      CmsPtr cms(CMS_ContentInfo_new_ex(lc.ctx.get(), nullptr));
      CMS_ContentInfo* raw = cms.get();
      if (!cms || !d2i_CMS_ContentInfo(&raw, &p, static_cast<long>(der.size()))) continue;
      BioPtr out(BIO_new(BIO_s_mem()));
      if (CMS_decrypt(cms.get(), key.get(), cert.get(), nullptr, out.get(), CMS_BINARY) != 1) continue;
      char* data = nullptr;
      const long n = BIO_get_mem_data(out.get(), &data);
      const std::string plain(data, static_cast<std::size_t>(n));
      ERR_clear_error();
      if (certificatePem) *certificatePem = CertificatePem(cert.get());
      return XmlParseToElement(plain.c_str());
    }
  ERR_clear_error();
  return nullptr;
}

// The key is derived from the password as the platform derives a key longer than the hash:
//   h = SHA-1(password bytes)
//   b1 = 64 bytes of 0x36, each XOR the matching byte of h (h is 20 bytes: the rest stay 0x36)
//   b2 = 64 bytes of 0x5C, likewise
//   key = first 32 bytes of SHA-1(b1) || SHA-1(b2)
// Test vector: "password" gives the key
//   a3bc508753274827cf2515600eaea32c226a7895c0533fcc0a67de054e4822f0 (see the library tests).
// The cipher is AES-256-CBC with a zero IV and PKCS #7 padding.
bool XmlPasswordCipher(bool decrypt, std::string_view password, std::string_view data, std::string* out) {
  if (!out) return false;
  unsigned char h[20];
  if (!EVP_Digest(password.data(), password.size(), h, nullptr, EVP_sha1(), nullptr)) return false;
  unsigned char b1[64], b2[64], d1[20], d2[20];
  std::memset(b1, 0x36, sizeof b1);
  std::memset(b2, 0x5C, sizeof b2);
  for (int i = 0; i < 20; ++i) {
    b1[i] ^= h[i];
    b2[i] ^= h[i];
  }
  if (!EVP_Digest(b1, sizeof b1, d1, nullptr, EVP_sha1(), nullptr) ||
      !EVP_Digest(b2, sizeof b2, d2, nullptr, EVP_sha1(), nullptr))
    return false;
  unsigned char key[40];
  std::memcpy(key, d1, 20);
  std::memcpy(key + 20, d2, 20);
  const unsigned char iv[16] = {};
  std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>> ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key, iv, decrypt ? 0 : 1) != 1) return false;
  std::string result(data.size() + 32, '\0');
  int n1 = 0, n2 = 0;
  auto* dst = reinterpret_cast<unsigned char*>(result.data());
  if (EVP_CipherUpdate(ctx.get(), dst, &n1, reinterpret_cast<const unsigned char*>(data.data()),
                       static_cast<int>(data.size())) != 1 ||
      EVP_CipherFinal_ex(ctx.get(), dst + n1, &n2) != 1) {
    ERR_clear_error();
    return false;
  }
  result.resize(static_cast<std::size_t>(n1 + n2));
  *out = std::move(result);
  return true;
}

std::unique_ptr<XmlElement> XmlElement::EncryptWithPassword(std::string_view password) {
  std::string cipher;
  if (!XmlPasswordCipher(false, password, ExportedText(this), &cipher)) return nullptr;
  auto result = std::make_unique<XmlElement>(nullptr, "<el />");
  result->name = name;
  result->AddContent(cipher, 0, cipher.size());
  return result;
}

std::unique_ptr<XmlElement> XmlElement::DecryptWithPassword(std::string_view password) {
  if (contents.size() != 1 || !contents[0]) return nullptr;
  std::string cipher, plain;
  if (!contents[0]->GetBinary(&cipher) || !XmlPasswordCipher(true, password, cipher, &plain)) return nullptr;
  return XmlParseToElement(plain.c_str());
}

namespace {
bool ReplaceWithFirst(XmlElement* self, int index, std::unique_ptr<XmlElement> result) {
  if (!result) return false;
  self->RemoveChildAt(index);
  self->InsertChild(0, std::move(result));
  return true;
}
}  // namespace

bool XmlElement::EncryptChildWithPassword(int index, std::string_view password) {
  XmlElement* child = Target(this, index);
  if (!child || index < 0) return false;
  return ReplaceWithFirst(this, index, child->EncryptWithPassword(password));
}

bool XmlElement::DecryptChildWithPassword(int index, std::string_view password) {
  XmlElement* child = Target(this, index);
  if (!child || index < 0) return false;
  return ReplaceWithFirst(this, index, child->DecryptWithPassword(password));
}

}  // namespace nimbo
