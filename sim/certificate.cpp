#include "certificate.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace kelvora::sim {
namespace {

template <auto Free>
struct Deleter {
  template <typename T>
  void operator()(T* p) const {
    Free(p);
  }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free>>;

KeyPtr NewKey() { return KeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")); }

bool AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!ext) return false;
  const bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// A certificate for `key` named `commonName`, signed by `issuerKey` under
// `issuer` (itself when null).
CertPtr NewCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey, bool authority,
                       int days) {
  CertPtr cert(X509_new());
  if (!cert) return nullptr;
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) return nullptr;
  serial[0] &= 0x7F;  // a positive serial number
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  const bool serialOk = bn && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
  BN_free(bn);
  if (!serialOk) return nullptr;
  X509_set_version(cert.get(), 2);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24L * 3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), static_cast<long>(days) * 24 * 3600);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("kelvora-sim"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
  X509* signer = issuer ? issuer : cert.get();
  X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
  if (X509_set_pubkey(cert.get(), key) != 1) return nullptr;
  bool ok = true;
  if (authority) {
    ok = AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE") &&
         AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign") &&
         AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
  } else {
    ok = AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE") &&
         AddExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature") &&
         AddExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth") &&
         AddExtension(cert.get(), signer, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1,IP:::1") &&
         AddExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
  }
  if (!ok || X509_sign(cert.get(), issuerKey, EVP_sha256()) <= 0) return nullptr;
  return cert;
}

template <typename Write>
std::string ToPem(Write write) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || !write(bio.get())) return {};
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

}  // namespace

Certificates MakeLoopbackCertificates(int days) {
  Certificates out;
  KeyPtr caKey = NewKey(), serverKey = NewKey();
  if (!caKey || !serverKey) return out;
  CertPtr ca = NewCertificate(caKey.get(), "kelvora-sim test authority", nullptr, caKey.get(), true, days);
  if (!ca) return out;
  CertPtr server = NewCertificate(serverKey.get(), "localhost", ca.get(), caKey.get(), false, days);
  if (!server) return out;
  Certificates pem;
  pem.caPem = ToPem([&](BIO* b) { return PEM_write_bio_X509(b, ca.get()) == 1; });
  pem.serverCertPem = ToPem([&](BIO* b) { return PEM_write_bio_X509(b, server.get()) == 1; });
  pem.serverKeyPem = ToPem(
      [&](BIO* b) { return PEM_write_bio_PrivateKey(b, serverKey.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1; });
  if (pem.ok()) out = std::move(pem);
  return out;
}

}  // namespace kelvora::sim
