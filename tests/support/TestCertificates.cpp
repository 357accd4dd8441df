#include "tests/support/TestCertificates.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/TestSupport.h"

namespace pemtrox::test {

namespace {

const char* makePKI = R"(set -e
ec() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1"; }
ca_ext='basicConstraints=critical,CA:TRUE
keyUsage=critical,keyCertSign,cRLSign'
leaf_ext='subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1
extendedKeyUsage=serverAuth
keyUsage=critical,digitalSignature,keyEncipherment'
printf '%s\n' "$ca_ext" > ca.ext
printf '%s\n' "$leaf_ext" > leaf.ext
ec root.key
openssl req -x509 -new -key root.key -subj "/CN=Pemtrox Test Root" -days 30 -out root.pem \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
ec inter.key
openssl req -new -key inter.key -subj "/CN=Pemtrox Test Intermediate" -out inter.csr
openssl x509 -req -in inter.csr -CA root.pem -CAkey root.key -set_serial 2 -days 30 -extfile ca.ext -out inter.pem
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out leaf.key
openssl req -new -key leaf.key -subj "/CN=localhost" -out leaf.csr
openssl x509 -req -in leaf.csr -CA inter.pem -CAkey inter.key -set_serial 3 -days 30 -extfile leaf.ext -out leaf.pem
cat leaf.pem inter.pem > chain.pem
openssl x509 -in leaf.pem -outform der -out leaf.der
openssl x509 -in inter.pem -outform der -out inter.der
ec rogue-root.key
openssl req -x509 -new -key rogue-root.key -subj "/CN=Pemtrox Rogue Root" -days 30 -out rogue-root.pem \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out rogue.key
openssl req -new -key rogue.key -subj "/CN=localhost" -out rogue.csr
openssl x509 -req -in rogue.csr -CA rogue-root.pem -CAkey rogue-root.key -set_serial 4 -days 30 -extfile leaf.ext -out rogue.pem
cat rogue.pem rogue-root.pem > rogue-chain.pem
mkdir -p empty
)";

} // namespace

const TestCertificates& TestCertificates::shared() {
    static TempDir dir;
    static TestCertificates certificates = [] {
        TestCertificates c;
        c.directory = dir.path();
        int status = 0;
        std::string script = dir.path() / "make-pki.sh";
        std::ofstream(script) << makePKI;
        runCommand("cd '" + dir.path().string() + "' && sh make-pki.sh 2>&1", &status);
        if (status != 0)
            throw std::runtime_error("openssl could not make the test certificates");
        c.rootFile = dir.path() / "root.pem";
        c.leafKeyFile = dir.path() / "leaf.key";
        c.chainFile = dir.path() / "chain.pem";
        c.leafFile = dir.path() / "leaf.pem";
        c.intermediateFile = dir.path() / "inter.pem";
        c.rogueLeafFile = dir.path() / "rogue.pem";
        c.rogueRootFile = dir.path() / "rogue-root.pem";
        c.rogueKeyFile = dir.path() / "rogue.key";
        c.rogueChainFile = dir.path() / "rogue-chain.pem";
        c.leafKeyPEM = slurp(c.leafKeyFile);
        c.chainPEM = slurp(c.chainFile);
        c.rogueKeyPEM = slurp(c.rogueKeyFile);
        c.rogueChainPEM = slurp(c.rogueChainFile);
        c.leafDER = slurp(dir.path() / "leaf.der");
        c.intermediateDER = slurp(dir.path() / "inter.der");
        return c;
    }();
    return certificates;
}

TrustTestRoot::TrustTestRoot()
    : TrustTestRoot(TestCertificates::shared().rootFile, TestCertificates::shared().directory / "empty") {}

TrustTestRoot::TrustTestRoot(const std::filesystem::path& rootFile,
                             const std::filesystem::path& emptyDirectory) {
    if (const char* v = std::getenv("SSL_CERT_FILE"))
        hadFile_ = true, oldFile_ = v;
    if (const char* v = std::getenv("SSL_CERT_DIR"))
        hadDir_ = true, oldDir_ = v;
    setenv("SSL_CERT_FILE", rootFile.c_str(), 1);
    setenv("SSL_CERT_DIR", emptyDirectory.c_str(), 1);
}

TrustTestRoot::~TrustTestRoot() {
    if (hadFile_)
        setenv("SSL_CERT_FILE", oldFile_.c_str(), 1);
    else
        unsetenv("SSL_CERT_FILE");
    if (hadDir_)
        setenv("SSL_CERT_DIR", oldDir_.c_str(), 1);
    else
        unsetenv("SSL_CERT_DIR");
}

ChildProcess::ChildProcess(const std::string& shellCommand) {
    signal(SIGPIPE, SIG_IGN); // a peer that went away must fail a write, not end the tests
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // The child (and what it execs in its place) dies with the test, even when the test
        // is killed: a program left running would keep its namespaces and ports.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        dup2(toChild[0], 0);
        dup2(fromChild[1], 1);
        dup2(fromChild[1], 2);
        setpgid(0, 0);
        execl("/bin/sh", "sh", "-c", shellCommand.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    in_ = toChild[1];
    out_ = fromChild[0];
}

ChildProcess::~ChildProcess() {
    closeInput();
    if (pid_ > 0 && !exited_) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0)
        close(out_);
}

bool ChildProcess::readSome(int timeoutMs) {
    if (out_ < 0)
        return false;
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0)
        return false;
    char buf[4096];
    ssize_t n = read(out_, buf, sizeof buf);
    if (n <= 0) {
        close(out_);
        out_ = -1;
        return false;
    }
    output_.append(buf, static_cast<std::size_t>(n));
    return true;
}

std::string ChildProcess::waitForLine(const std::string& fragment, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::size_t found = output_.find(fragment, scanned_);
        if (found != std::string::npos) {
            std::size_t start = output_.rfind('\n', found);
            start = start == std::string::npos ? 0 : start + 1;
            std::size_t end = output_.find('\n', found);
            if (end != std::string::npos) {
                scanned_ = end;
                return output_.substr(start, end - start);
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readSome(static_cast<int>(left.count())))
            return "";
    }
}

std::string ChildProcess::readAll(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readSome(static_cast<int>(left.count())))
            return output_;
    }
}

void ChildProcess::closeInput() {
    if (in_ >= 0)
        close(in_);
    in_ = -1;
}

int ChildProcess::wait(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (!exited_) {
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            exited_ = true;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        usleep(2000);
    }
    return -1;
}

int acceptedPort(const std::string& line) {
    auto colon = line.rfind(':');
    if (line.find("ACCEPT") == std::string::npos || colon == std::string::npos)
        return 0;
    return std::atoi(line.c_str() + colon + 1);
}

} // namespace pemtrox::test
