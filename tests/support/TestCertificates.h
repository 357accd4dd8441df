#pragma once

#include <filesystem>
#include <string>

namespace pemtrox::test {

/// A small PKI made once per test process with the openssl tool: a trusted root, an
/// intermediate, a leaf for "localhost", 127.0.0.1 and ::1 (RSA, so TLS 1.2 can pick
/// ECDHE-RSA suites), and a leaf for the same names from a root nobody trusts.
struct TestCertificates {
    std::filesystem::path directory;
    std::filesystem::path rootFile; ///< the trusted root (for SSL_CERT_FILE)
    std::filesystem::path leafKeyFile;
    std::filesystem::path chainFile; ///< leaf then intermediate
    std::filesystem::path leafFile;
    std::filesystem::path intermediateFile;
    std::filesystem::path rogueKeyFile;
    std::filesystem::path rogueChainFile; ///< rogue leaf then the rogue root
    std::filesystem::path rogueLeafFile;
    std::filesystem::path rogueRootFile;
    std::string leafKeyPEM;
    std::string chainPEM;
    std::string rogueKeyPEM;
    std::string rogueChainPEM;
    std::string leafDER, intermediateDER; ///< the chain's two certificates as DER bytes

    static const TestCertificates& shared();
};

/// Points SSL_CERT_FILE at the test root and SSL_CERT_DIR at an empty directory for the
/// life of the object, so only the test PKI is trusted.
class TrustTestRoot {
public:
    TrustTestRoot();
    /// Trusts this root file alone, with this directory (empty) as the store directory.
    TrustTestRoot(const std::filesystem::path& rootFile, const std::filesystem::path& emptyDirectory);
    ~TrustTestRoot();
    TrustTestRoot(const TrustTestRoot&) = delete;
    TrustTestRoot& operator=(const TrustTestRoot&) = delete;

private:
    std::string oldFile_, oldDir_;
    bool hadFile_ = false, hadDir_ = false;
};

/// A program run in the background with its standard input and output on pipes; killed
/// and reaped when the object goes.
class ChildProcess {
public:
    explicit ChildProcess(const std::string& shellCommand);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    /// Reads output lines until one contains the fragment; returns that line, or "" at the
    /// end of the output or after the time-out.
    std::string waitForLine(const std::string& fragment, int timeoutMs = 10000);
    /// Everything read so far.
    const std::string& output() const { return output_; }
    /// Reads the rest of the output until the program closes it (or the time-out).
    std::string readAll(int timeoutMs = 10000);
    /// Waits for the program to exit; its exit status, or -1.
    int wait(int timeoutMs = 10000);
    /// The program's process (the shell's, unless the command starts with exec).
    int pid() const { return pid_; }

private:
    bool readSome(int timeoutMs);
    void closeInput();
    int pid_ = -1;
    int in_ = -1, out_ = -1;
    std::string output_;
    std::size_t scanned_ = 0;
    bool exited_ = false;
};

/// The port of an "ACCEPT 127.0.0.1:PORT" line of openssl s_server, or 0.
int acceptedPort(const std::string& line);

} // namespace pemtrox::test
