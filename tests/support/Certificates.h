// Certificates for the TLS tests, and a TLS sender: the openssl tool.
#pragma once

#include "support/TempDir.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace testing_support {

// Certificates made with the openssl tool in a directory of their own: a
// CA, a server and a client certificate it signed, and a second server
// certificate for the rotation.
class TCertificates {
 public:
  bool Make() {
    const std::string d = Directory.Path();
    auto run = [&](const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; };
    const std::string key = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    auto signedBy = [&](const std::string& name, const std::string& cn) {
      return run("openssl req" + key + " -keyout " + d + name + ".key -out " + d + name + ".csr -subj /CN=" + cn) &&
             run("openssl x509 -req -in " + d + name + ".csr -CA " + d + "ca.pem -CAkey " + d +
                 "ca.key -CAcreateserial -days 2 -out " + d + name + ".pem");
    };
    return run("openssl req -x509" + key + " -keyout " + d + "ca.key -out " + d + "ca.pem -days 2 -subj /CN=test-ca") &&
           signedBy("server", "first") && signedBy("rotated", "rotated") && signedBy("client", "client");
  }
  std::string Path(const std::string& file) const { return Directory.Path() + file; }

 private:
  TTempDir Directory;
};

// openssl s_client sending `bytes` over TLS (with a client certificate when
// `client` names one); what it printed, for the server's certificate.
inline std::string SendOverTls(std::uint16_t port, const std::string& bytes, const TCertificates& certificates,
                        const std::string& client = std::string()) {
  WriteFile(certificates.Path("input"), bytes);
  const std::string output = certificates.Path("output");
  std::string command = "openssl s_client -connect 127.0.0.1:" + std::to_string(port) + " -CAfile " +
                        certificates.Path("ca.pem");
  if (!client.empty()) command += " -cert " + certificates.Path(client + ".pem") + " -key " + certificates.Path(client + ".key");
  std::system((command + " < " + certificates.Path("input") + " > " + output + " 2>&1").c_str());
  return ReadFile(output);
}

}  // namespace testing_support
