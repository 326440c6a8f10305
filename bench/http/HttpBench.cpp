// Loopback throughput of the HTTP server: a small JSON route under wrk with 64 keep-alive
// connections, next to nginx serving the same bytes as a static file; then 1,000 keep-alive
// clients held for 30 s; then a 64 MiB PUT by curl (which sends "Expect: 100-continue"), time
// to the answer, next to nginx taking the same upload. Prints figures only; wrk and nginx are
// installed by install-tools.sh beside this file when missing. Everything listens on 127.0.0.1
// and is stopped at the end.
#include "http/HttpServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <optional>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using namespace quintarvel;
namespace fs = std::filesystem;

const std::string path = "/status.json";
const std::string uploadPath = "/upload";
constexpr std::size_t uploadSize = std::size_t{64} << 20;

bool haveProgram(const std::string &name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

std::string nginxProgram() {
    return fs::exists("/usr/sbin/nginx") ? "/usr/sbin/nginx" : "nginx";
}

bool ensureTools() {
    if (haveProgram("wrk") && (fs::exists("/usr/sbin/nginx") || haveProgram("nginx")))
        return true;
    std::printf("Installing wrk and nginx...\n");
    std::fflush(stdout);
    std::string script = std::string(QUINTARVEL_BENCH_DIR) + "/install-tools.sh";
    if (std::system(script.c_str()) != 0)
        return false;
    return haveProgram("wrk") && (fs::exists("/usr/sbin/nginx") || haveProgram("nginx"));
}

// 1,000 clients need more descriptors than the usual soft limit of 1,024.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// The bytes the server sends for the JSON answer, so nginx can serve exactly them.
std::string jsonBody(const nlohmann::json &object) {
    struct Capture : HttpResponseBodyWriter {
        std::string bytes;
        void sendFile(File &) override {}
        void writeBytes(const std::vector<std::uint8_t> &b) override {
            bytes.append(b.begin(), b.end());
        }
        void writeByteSlice(std::span<const std::uint8_t> b) override {
            bytes.append(b.begin(), b.end());
        }
        void writeNSData(const void *b, std::size_t n) override {
            bytes.append(static_cast<const char *>(b), n);
        }
        void writeDataContents(const std::vector<std::uint8_t> &b) override {
            bytes.append(b.begin(), b.end());
        }
    } capture;
    HttpResponseBody::json(object).lengthAndWriter().second(capture);
    return capture.bytes;
}

std::uint16_t freeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool accepts(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// nginx with its own configuration and files in a private folder, on a loopback port.
class Nginx {
  public:
    explicit Nginx(const std::string &body) {
        std::string pattern = (fs::temp_directory_path() / "quintarvel-nginx-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("cannot make a folder for nginx");
        dir_ = pattern;
        // Worker processes run as an unprivileged user and must read the file.
        fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
        fs::create_directories(dir_ / "html");
        fs::create_directories(dir_ / "tmp");
        fs::create_directories(dir_ / "put");
        // Workers write the uploads as their own, unprivileged user.
        fs::permissions(dir_ / "put", fs::perms::all);
        fs::permissions(dir_ / "tmp", fs::perms::all);
        std::ofstream(dir_ / "html/status.json", std::ios::binary) << body;
        port_ = freeLoopbackPort();
        const std::string d = dir_.string();
        std::ofstream conf(dir_ / "nginx.conf");
        conf << "worker_processes auto;\n"
             << "pid " << d << "/nginx.pid;\n"
             << "error_log " << d << "/error.log warn;\n"
             << "events { worker_connections 4096; }\n"
             << "http {\n"
             << "  access_log off;\n"
             << "  default_type application/json;\n"
             << "  keepalive_requests 10000000;\n"
             << "  client_body_temp_path " << d << "/tmp/body;\n"
             << "  proxy_temp_path " << d << "/tmp/proxy;\n"
             << "  fastcgi_temp_path " << d << "/tmp/fastcgi;\n"
             << "  uwsgi_temp_path " << d << "/tmp/uwsgi;\n"
             << "  scgi_temp_path " << d << "/tmp/scgi;\n"
             << "  server {\n"
             << "    listen 127.0.0.1:" << port_ << ";\n"
             << "    root " << d
             << "/html;\n"
             // Takes a PUT whole (into a file beside its temporary one) before answering.
             << "    location " << uploadPath << " {\n"
             << "      root " << d << "/put;\n"
             << "      dav_methods PUT;\n"
             << "      client_max_body_size 128m;\n"
             << "      client_body_buffer_size 128m;\n"
             << "    }\n"
             << "  }\n"
             << "}\n";
        conf.close();
        std::string program = nginxProgram();
        std::string conffile = d + "/nginx.conf";
        const char *argv[] = {program.c_str(),  "-p", d.c_str(),     "-c",
                              conffile.c_str(), "-g", "daemon off;", nullptr};
        if (posix_spawnp(&pid_, argv[0], nullptr, nullptr, const_cast<char **>(argv), environ) != 0)
            throw std::runtime_error("cannot start nginx");
        // Not a test: a bounded wait for the port to open is fine here.
        for (int i = 0; i < 500 && !accepts(port_); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!accepts(port_))
            throw std::runtime_error("nginx did not start; see " + d + "/error.log");
    }
    ~Nginx() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::uint16_t port() const { return port_; }

  private:
    fs::path dir_;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
};

struct WrkResult {
    double requestsPerSecond = 0;
    std::optional<double> p99Milliseconds;
    long long requests = 0;
    long long errors = 0; // socket errors and non-2xx/3xx answers
    std::string output;
};

double milliseconds(const std::string &value) {
    double number = std::atof(value.c_str());
    if (value.ends_with("us"))
        return number / 1000;
    if (value.ends_with("ms"))
        return number;
    if (value.ends_with("s"))
        return number * 1000;
    return number;
}

WrkResult wrk(std::uint16_t port, int threads, int connections, int seconds) {
    std::string command =
        "wrk -t" + std::to_string(threads) + " -c" + std::to_string(connections) + " -d" +
        std::to_string(seconds) +
        "s --latency -H 'Connection: keep-alive' http://127.0.0.1:" + std::to_string(port) + path +
        " 2>&1";
    WrkResult result;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return result;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe))
        result.output += buffer;
    pclose(pipe);
    std::istringstream lines(result.output);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (first == "Requests/sec:") {
            words >> result.requestsPerSecond;
        } else if (first == "99%") {
            std::string value;
            words >> value;
            result.p99Milliseconds = milliseconds(value);
        } else if (line.find(" requests in ") != std::string::npos) {
            result.requests = std::atoll(first.c_str());
        } else if (first == "Socket") { // Socket errors: connect 0, read 0, write 0, timeout 0
            std::string word;
            long long n;
            while (words >> word) {
                if (words >> n)
                    result.errors += n;
                words.ignore(1); // the comma
            }
        } else if (line.find("Non-2xx or 3xx responses:") != std::string::npos) {
            result.errors += std::atoll(line.substr(line.find(':') + 1).c_str());
        }
    }
    return result;
}

// Seconds from the start of a curl PUT of the file to the end of the answer, or none when the
// answer is not a success.
std::optional<double> curlPut(std::uint16_t port, const std::string &file) {
    const std::string command = "curl -q -s -o /dev/null --noproxy '*' -w '%{http_code} "
                                "%{time_total}' -T '" +
                                file + "' http://127.0.0.1:" + std::to_string(port) + uploadPath +
                                " 2>&1";
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return std::nullopt;
    int status = 0;
    double seconds = 0;
    const bool read = std::fscanf(pipe, "%d %lf", &status, &seconds) == 2;
    pclose(pipe);
    if (!read || status < 200 || status > 299)
        return std::nullopt;
    return seconds;
}

// The middle of several uploads, in milliseconds.
std::optional<double> medianPut(std::uint16_t port, const std::string &file, int times) {
    std::vector<double> all;
    for (int i = 0; i < times; ++i) {
        auto seconds = curlPut(port, file);
        if (!seconds)
            return std::nullopt;
        all.push_back(*seconds * 1000);
    }
    std::sort(all.begin(), all.end());
    return all[all.size() / 2];
}

std::string p99(const WrkResult &r) {
    if (!r.p99Milliseconds)
        return "?";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f ms", *r.p99Milliseconds);
    return text;
}

} // namespace

int main() {
    if (!ensureTools()) {
        std::fprintf(stderr,
                     "bench_http: wrk and nginx are needed (bench/http/install-tools.sh)\n");
        return 1;
    }
    raiseDescriptorLimit();

    const nlohmann::json object = {{"status", "success"}, {"message", "Solver ready"}};
    const std::string body = jsonBody(object);

    auto server = std::make_shared<HttpServer>();
    server->GET[path] = [object](std::shared_ptr<HttpRequest>) {
        return HttpResponse::ok(HttpResponseBody::json(object));
    };
    server->PUT[uploadPath] = [](std::shared_ptr<HttpRequest> request) {
        return HttpResponse::ok(HttpResponseBody::text(std::to_string(request->body.size())));
    };
    server->listenAddressIPv4 = "127.0.0.1";
    server->start(0, true, DispatchPriority::background);
    const std::uint16_t ours = server->listeningPort();

    Nginx nginx(body);

    const int threads = 4, connections = 64, seconds = 10;
    std::printf("HTTP benchmark on loopback, %u cores; body %zu bytes of JSON\n",
                std::thread::hardware_concurrency(), body.size());
    std::printf("wrk -t%d -c%d -d%ds, keep-alive, GET %s\n", threads, connections, seconds,
                path.c_str());
    std::fflush(stdout);
    wrk(ours, threads, connections, 2); // warm-up
    wrk(nginx.port(), threads, connections, 2);
    WrkResult a = wrk(ours, threads, connections, seconds);
    WrkResult b = wrk(nginx.port(), threads, connections, seconds);
    if (a.requestsPerSecond <= 0 || b.requestsPerSecond <= 0) {
        std::fprintf(stderr, "wrk gave no figures:\n%s\n%s\n", a.output.c_str(), b.output.c_str());
        server->stop();
        return 1;
    }
    std::printf("  quintarvel  %10.0f requests/s   p99 %s   errors %lld\n", a.requestsPerSecond,
                p99(a).c_str(), a.errors);
    std::printf("  nginx       %10.0f requests/s   p99 %s   errors %lld\n", b.requestsPerSecond,
                p99(b).c_str(), b.errors);
    std::printf("  ratio       %9.1f %% of nginx (target >= 60 %%)\n",
                100.0 * a.requestsPerSecond / b.requestsPerSecond);
    std::fflush(stdout);

    const int many = 1000, holdSeconds = 30;
    std::printf("%d keep-alive clients for %d s (wrk -t%d -c%d)\n", many, holdSeconds, threads,
                many);
    std::fflush(stdout);
    WrkResult c = wrk(ours, threads, many, holdSeconds);
    std::printf("  quintarvel  %10.0f requests/s   p99 %s   %lld requests, errors %lld "
                "(target 0)\n",
                c.requestsPerSecond, p99(c).c_str(), c.requests, c.errors);
    if (c.requests == 0)
        std::printf("%s\n", c.output.c_str());

    const std::string file =
        (fs::temp_directory_path() / ("quintarvel-upload-" + std::to_string(::getpid()) + ".bin"))
            .string();
    {
        std::ofstream out(file, std::ios::binary);
        const std::string piece(1 << 20, 'x');
        for (std::size_t i = 0; i < uploadSize / piece.size(); ++i)
            out << piece;
    }
    const int uploads = 7;
    std::printf("PUT of %zu MiB by curl (Expect: 100-continue), median of %d, time to answer\n",
                uploadSize >> 20, uploads);
    std::fflush(stdout);
    medianPut(ours, file, 1); // warm-up
    medianPut(nginx.port(), file, 1);
    const auto ourPut = medianPut(ours, file, uploads);
    const auto nginxPut = medianPut(nginx.port(), file, uploads);
    std::error_code ec;
    fs::remove(file, ec);
    if (!ourPut || !nginxPut) {
        std::fprintf(stderr, "curl upload failed (quintarvel %s, nginx %s)\n",
                     ourPut ? "ok" : "failed", nginxPut ? "ok" : "failed");
        server->stop();
        return 1;
    }
    std::printf("  quintarvel  %10.1f ms\n", *ourPut);
    std::printf("  nginx       %10.1f ms\n", *nginxPut);
    std::printf("  ratio       %9.2f x nginx's time (target <= 1.5 x)\n", *ourPut / *nginxPut);
    server->stop();
    return 0;
}
