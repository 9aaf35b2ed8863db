// TLS handshakes per second that a provider on loopback completes: each client connects, finishes the
// handshake, closes and starts again, for the given time. The certificate is made for the run, RSA 2048 or
// ECDSA P-256, so the two can be compared; any further arguments go to `serve` (e.g. --tls-threads 1).
// Usage: tls_handshake_bench [seconds] [clients] [rsa|ecdsa] [provider program] [serve options...]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

bool Handshake(SSL_CTX* ctx, uint16_t port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = false;
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        SSL* ssl = SSL_new(ctx);
        SSL_set_fd(ssl, s);
        ok = SSL_connect(ssl) == 1;
        SSL_free(ssl);
    }
    close(s);
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
    const int clients = argc > 2 ? std::atoi(argv[2]) : 8;
    const std::string kind = argc > 3 ? argv[3] : "ecdsa";
    const std::string program = argc > 4 ? argv[4] : std::string(MORVANE_BIN_DIR) + "/morvane-provider";
    char dirTemplate[] = "/tmp/morvane-tls-bench-XXXXXX";
    if (!mkdtemp(dirTemplate))
        return 1;
    const std::string dir = dirTemplate;
    const std::string key = kind == "rsa" ? "-newkey rsa:2048" : "-newkey ec -pkeyopt ec_paramgen_curve:P-256";
    std::string make = "openssl req -x509 -nodes " + key + " -subj /CN=127.0.0.1 -days 2 -keyout " + dir +
                       "/key.pem -out " + dir + "/cert.pem >/dev/null 2>&1 && '" + program + "' --db " + dir +
                       "/p.db init >/dev/null";
    if (std::system(make.c_str()) != 0) {
        std::fprintf(stderr, "tls_handshake_bench: could not make the certificate or the store in %s\n", dir.c_str());
        return 1;
    }
    int out[2];
    if (pipe(out) != 0)
        return 1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        std::vector<std::string> args = {program,     "--db",       dir + "/p.db",     "serve",     "--port",
                                         "0",         "--tls-cert", dir + "/cert.pem", "--tls-key", dir + "/key.pem",
                                         "--threads", "2"};
        for (int i = 5; i < argc; ++i)
            args.emplace_back(argv[i]);
        std::vector<char*> cargs;
        for (auto& a : args)
            cargs.push_back(a.data());
        cargs.push_back(nullptr);
        execv(cargs[0], cargs.data());
        _exit(127);
    }
    close(out[1]);
    FILE* in = fdopen(out[0], "r");
    char line[128] = {};
    const char* colon = in && fgets(line, sizeof line, in) ? std::strrchr(line, ':') : nullptr;
    const uint16_t port = colon ? static_cast<uint16_t>(std::atoi(colon + 1)) : 0;
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    std::atomic<long> done{0}, failed{0};
    if (port != 0) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        std::vector<std::thread> threads;
        for (int c = 0; c < clients; ++c)
            threads.emplace_back([&] {
                while (std::chrono::steady_clock::now() < end)
                    ++(Handshake(ctx, port) ? done : failed);
            });
        for (auto& t : threads)
            t.join();
    }
    SSL_CTX_free(ctx);
    kill(pid, SIGTERM);
    // The server's own processor time per handshake: the clients share the machine, so the rate alone
    // also measures them.
    rusage usage{};
    wait4(pid, nullptr, 0, &usage);
    if (port != 0) {
        double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        std::printf("%s, %d clients, %d s: %.0f handshakes/s (%ld failed), server %.2f ms of processor time each\n",
                    kind.c_str(), clients, seconds, static_cast<double>(done) / seconds, failed.load(),
                    done ? cpu * 1000 / static_cast<double>(done) : 0.0);
    }
    if (in)
        fclose(in);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return port != 0 ? 0 : 1;
}
