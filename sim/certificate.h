#pragma once
// A throwaway certificate authority and a server certificate it signed, made in
// memory for https on loopback (the simulator's --tls, the https tests).
#include <string>

namespace kelvora::sim {

struct Certificates {
  std::string caPem;          // the authority a client must trust
  std::string serverCertPem;  // for 127.0.0.1, ::1 and localhost, signed by caPem
  std::string serverKeyPem;   // the server certificate's private key (PKCS#8)
  bool ok() const { return !caPem.empty() && !serverCertPem.empty() && !serverKeyPem.empty(); }
};

// New keys and certificates, valid from a day ago for `days` days.
// Empty (ok() false) when OpenSSL fails.
Certificates MakeLoopbackCertificates(int days = 30);

}  // namespace kelvora::sim
