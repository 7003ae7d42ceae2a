// The server's https side: the TLS context with its certificate and key, and
// the choice of HTTP/1.1 in the handshake.
#include "server.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <string>

namespace kelvora::sim {

namespace {

// Picks HTTP/1.1 when the client offers it; without it the handshake goes on
// without a protocol choice.
int SelectHttp11(SSL*, const unsigned char** out, unsigned char* outlen, const unsigned char* in, unsigned int inlen,
                 void*) {
  static const unsigned char kHttp11[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};
  unsigned char* chosen = nullptr;
  if (SSL_select_next_proto(&chosen, outlen, kHttp11, sizeof kHttp11, in, inlen) != OPENSSL_NPN_NEGOTIATED)
    return SSL_TLSEXT_ERR_NOACK;
  *out = chosen;
  return SSL_TLSEXT_ERR_OK;
}

std::string OpenSslError(const std::string& what) {
  std::string text = what;
  char buf[256];
  for (unsigned long e; (e = ERR_get_error()) != 0;) {
    ERR_error_string_n(e, buf, sizeof buf);
    text += std::string(": ") + buf;
  }
  return text;
}

}  // namespace

bool Server::newTlsContext(std::string& error) {
  if (ctx_) SSL_CTX_free(ctx_);
  ctx_ = SSL_CTX_new(TLS_server_method());
  if (!ctx_) {
    error = OpenSslError("cannot make a TLS context");
    return false;
  }
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  SSL_CTX_set_alpn_select_cb(ctx_, SelectHttp11, nullptr);
  return true;
}

bool Server::useTls(const std::string& certPem, const std::string& keyPem, std::string& error) {
  if (!newTlsContext(error)) return false;
  BIO* certs = BIO_new_mem_buf(certPem.data(), static_cast<int>(certPem.size()));
  BIO* keyBio = BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size()));
  X509* cert = certs ? PEM_read_bio_X509(certs, nullptr, nullptr, nullptr) : nullptr;
  EVP_PKEY* key = keyBio ? PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr) : nullptr;
  bool ok = cert && key && SSL_CTX_use_certificate(ctx_, cert) == 1 && SSL_CTX_use_PrivateKey(ctx_, key) == 1 &&
            SSL_CTX_check_private_key(ctx_) == 1;
  // Further certificates in the text are the chain.
  while (ok) {
    X509* more = PEM_read_bio_X509(certs, nullptr, nullptr, nullptr);
    if (!more) break;
    if (SSL_CTX_add0_chain_cert(ctx_, more) != 1) {
      X509_free(more);
      ok = false;
    }
  }
  ERR_clear_error();  // the end of the chain reads as an error
  if (cert) X509_free(cert);
  if (key) EVP_PKEY_free(key);
  if (certs) BIO_free(certs);
  if (keyBio) BIO_free(keyBio);
  if (!ok) {
    error = OpenSslError("the certificate or its key is not usable");
    SSL_CTX_free(ctx_);
    ctx_ = nullptr;
  }
  return ok;
}

bool Server::useTlsFiles(const std::string& certFile, const std::string& keyFile, std::string& error) {
  if (!newTlsContext(error)) return false;
  if (SSL_CTX_use_certificate_chain_file(ctx_, certFile.c_str()) != 1) {
    error = OpenSslError("cannot use the certificate file " + certFile);
  } else if (SSL_CTX_use_PrivateKey_file(ctx_, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    error = OpenSslError("cannot use the key file " + keyFile);
  } else if (SSL_CTX_check_private_key(ctx_) != 1) {
    error = OpenSslError("the key in " + keyFile + " does not belong to the certificate in " + certFile);
  } else {
    return true;
  }
  SSL_CTX_free(ctx_);
  ctx_ = nullptr;
  return false;
}

}  // namespace kelvora::sim
