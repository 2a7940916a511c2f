#include "NamespaceLab.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

namespace tolvane::testing {

namespace {

const std::string ipProgram = "/usr/sbin/ip";
const std::string python = "/usr/bin/python3";

void check(const ProcessResult& result, const std::string& what) {
    if (result.exitCode != 0) {
        throw LabUnavailable(what + " failed: " + result.standardError);
    }
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream stream(text);
    std::vector<std::string> out;
    for (std::string word; stream >> word;) out.push_back(word);
    return out;
}

ServerRecord parseFields(const std::string& line) {
    ServerRecord record;
    for (const auto& word : words(line)) {
        const auto equals = word.find('=');
        if (equals == std::string::npos) continue;
        record.fields[word.substr(0, equals)] = word.substr(equals + 1);
    }
    return record;
}

// Whatever still runs in the namespace goes with it, killed by PID.
void removeNamespace(const std::string& name) {
    for (const auto& pid : words(runProcess({ipProgram, "netns", "pids", name}).standardOutput)) {
        kill(std::stoi(pid), SIGKILL);
    }
    runProcess({ipProgram, "netns", "del", name});
    std::error_code ignored;
    std::filesystem::remove_all("/etc/netns/" + name, ignored);
}

// Processes a previous run left in namespaces of its own making, when that run died before
// its teardown: found by the PID in the name, removed so that names and addresses are free.
void removeStaleNamespaces() {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/var/run/netns", ignored)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("tlab-", 0) != 0 || name.size() < 8) continue;
        const int owner = std::atoi(name.c_str() + 7);
        if (owner > 0 && kill(owner, 0) != 0 && errno == ESRCH) removeNamespace(name);
    }
}

}  // namespace

std::string ServerRecord::operator[](const std::string& key) const {
    const auto found = fields.find(key);
    return found == fields.end() ? std::string() : found->second;
}

long ServerRecord::number(const std::string& key) const {
    const std::string text = (*this)[key];
    return text.empty() ? -1 : std::stol(text);
}

struct LabProcess::State {
    pid_t pid = -1;
    bool ownGroup = false;
    int input = -1;
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::string output, error;
    bool outputClosed = false, errorClosed = false;
    std::thread outReader, errReader;
    bool reaped = false;
    ProcessResult result;
};

LabProcess::LabProcess(const std::vector<std::string>& argv, bool ownGroup)
    : state_(std::make_unique<State>()) {
    std::vector<std::string> command = argv;
    if (ownGroup) command.insert(command.begin(), "/usr/bin/setsid");
    const SpawnedProcess child = spawnProcess(command);
    state_->pid = child.pid;
    state_->ownGroup = ownGroup;
    // Standard input stays open while the child runs: some programs end at its end.
    state_->input = child.input;
    auto reader = [state = state_.get()](int fd, std::string State::*sink, bool State::*closed) {
        char buffer[4096];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
            std::scoped_lock lock(state->mutex);
            (state->*sink).append(buffer, static_cast<std::size_t>(n));
            state->changed.notify_all();
        }
        close(fd);
        std::scoped_lock lock(state->mutex);
        state->*closed = true;
        state->changed.notify_all();
    };
    state_->outReader = std::thread(reader, child.output, &State::output, &State::outputClosed);
    state_->errReader = std::thread(reader, child.error, &State::error, &State::errorClosed);
}

LabProcess::~LabProcess() {
    if (!state_->reaped) {
        signal(SIGKILL);
        int status = 0;
        waitpid(state_->pid, &status, 0);
        state_->reaped = true;
    }
    // Helpers of a group leader may outlive it and hold its pipes open.
    if (state_->ownGroup) kill(-state_->pid, SIGKILL);
    if (state_->input >= 0) close(state_->input);
    state_->outReader.join();
    state_->errReader.join();
}

int LabProcess::pid() const {
    return state_->pid;
}

void LabProcess::signal(int number) {
    if (state_->reaped) return;
    kill(state_->ownGroup ? -state_->pid : state_->pid, number);
}

bool LabProcess::running() {
    return !waitForExit(std::chrono::milliseconds(0));
}

std::optional<ProcessResult> LabProcess::waitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!state_->reaped) {
        int status = 0;
        if (waitpid(state_->pid, &status, WNOHANG) == state_->pid) {
            state_->reaped = true;
            if (WIFEXITED(status)) state_->result.exitCode = WEXITSTATUS(status);
            if (WIFSIGNALED(status)) state_->result.signal = WTERMSIG(status);
            if (state_->ownGroup) kill(-state_->pid, SIGKILL);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // The streams are complete once both readers saw their end.
    std::unique_lock lock(state_->mutex);
    state_->changed.wait_for(lock, std::chrono::seconds(2),
                             [&] { return state_->outputClosed && state_->errorClosed; });
    ProcessResult result = state_->result;
    result.standardOutput = state_->output;
    result.standardError = state_->error;
    return result;
}

bool LabProcess::waitForError(const std::string& text, std::chrono::milliseconds timeout,
                              std::size_t from) {
    std::unique_lock lock(state_->mutex);
    bool found = false;
    state_->changed.wait_for(lock, timeout, [&] {
        found = state_->error.find(text, std::min(from, state_->error.size())) != std::string::npos;
        return found || state_->errorClosed;
    });
    return found;
}

std::string LabProcess::readLine(std::chrono::milliseconds timeout) {
    std::unique_lock lock(state_->mutex);
    if (!state_->changed.wait_for(lock, timeout, [&] {
            return state_->output.find('\n') != std::string::npos || state_->outputClosed;
        })) {
        return {};
    }
    const auto end = state_->output.find('\n');
    if (end == std::string::npos) return {};
    std::string line = state_->output.substr(0, end);
    state_->output.erase(0, end + 1);
    return line;
}

std::string LabProcess::errorText() const {
    std::scoped_lock lock(state_->mutex);
    return state_->error;
}

std::size_t LabProcess::errorSize() const {
    std::scoped_lock lock(state_->mutex);
    return state_->error.size();
}

NamespaceLab::NamespaceLab(Options options) : options_(std::move(options)) {
    try {
        build();
    } catch (...) {
        tearDown();
        throw;
    }
}

NamespaceLab::~NamespaceLab() {
    tearDown();
}

std::string NamespaceLab::address4(int n) {
    return "10.231.100." + std::to_string(n);
}

std::string NamespaceLab::address6(int n) {
    return "fd00:231:100::" + std::to_string(n);
}

const std::string& NamespaceLab::namespaceName(Side side) const {
    return side == Side::server ? server_ : side == Side::reference ? reference_ : client_;
}

std::vector<std::string> NamespaceLab::inside(Side side,
                                              const std::vector<std::string>& argv) const {
    std::vector<std::string> command = {ipProgram, "netns", "exec", namespaceName(side)};
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

ProcessResult NamespaceLab::run(Side side, const std::vector<std::string>& argv) const {
    return runProcess(inside(side, argv));
}

std::unique_ptr<LabProcess> NamespaceLab::start(Side side, const std::vector<std::string>& argv,
                                                bool ownGroup) const {
    return std::make_unique<LabProcess>(inside(side, argv), ownGroup);
}

std::vector<std::string> NamespaceLab::clientCommand(
    const std::vector<std::string>& arguments) const {
    std::vector<std::string> command = {python,
                                        (options_.scriptDirectory / "lab_client.py").string()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

ServerRecord NamespaceLab::client(const std::vector<std::string>& arguments, Side side) const {
    const ProcessResult result = run(side, clientCommand(arguments));
    std::string last;
    std::istringstream lines(result.standardOutput);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) last = line;
    }
    ServerRecord record = parseFields(last);
    if (record.fields.empty()) record.fields["result"] = "no-output";
    if (!result.standardError.empty()) record.fields["stderr"] = result.standardError;
    return record;
}

NamespaceLab::Fetch NamespaceLab::curl(const std::string& url, int family, Side side) const {
    const ProcessResult result =
        run(side, {"/usr/bin/curl", "-sS", "-k", "--max-time", "5", family == 6 ? "-6" : "-4", "-w",
                   "\n%{http_code} %{local_port}", url});
    Fetch fetch;
    fetch.exitCode = result.exitCode;
    fetch.error = result.standardError;
    const auto lastLine = result.standardOutput.rfind('\n');
    if (lastLine == std::string::npos) return fetch;
    fetch.body = result.standardOutput.substr(0, lastLine);
    const auto fields = words(result.standardOutput.substr(lastLine + 1));
    if (fields.size() == 2) {
        fetch.status = fields[0];
        fetch.port = std::stol(fields[1]);
    }
    return fetch;
}

NamespaceLab::Page NamespaceLab::browse(const std::string& url, bool quic,
                                        std::chrono::seconds limit) const {
    TemporaryDirectory profile;
    std::vector<std::string> argv = {
        "/usr/lib/chromium/chromium", "--headless=new",
        // root cannot use the sandbox
        "--no-sandbox", "--disable-gpu", "--no-first-run", "--no-default-browser-check",
        "--disable-background-networking", "--disable-component-update", "--disable-sync",
        "--ignore-certificate-errors", "--user-data-dir=" + profile.path().string(), "--dump-dom"};
    if (quic) {
        const std::string origin = url.substr(url.find("//") + 2);
        argv.push_back("--enable-quic");
        argv.push_back("--origin-to-force-quic-on=" + origin.substr(0, origin.find('/')) + ":443");
    }
    argv.push_back(url);
    // Chromium abandons a load when it sees the namespace's network settle
    // (ERR_NETWORK_CHANGED, right after the lab is made); such a load is tried again.
    for (int attempt = 1;; ++attempt) {
        auto browser = start(Side::client, argv, true);
        Page page;
        if (const auto ended = browser->waitForExit(limit)) {
            page.finished = true;
            page.dom = ended->standardOutput;
            page.log = ended->standardError;
        } else {
            page.log = browser->errorText();
        }
        if (attempt == 3 || page.log.find("ERR_NETWORK_CHANGED") == std::string::npos) return page;
    }
}

std::vector<ServerRecord> NamespaceLab::serverRecords() const {
    std::vector<ServerRecord> records;
    std::ifstream log(temporary_.path() / "server.log");
    for (std::string line; std::getline(log, line);) records.push_back(parseFields(line));
    return records;
}

std::optional<ServerRecord> NamespaceLab::waitForRecord(const std::string& kind, long port,
                                                        std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        for (const auto& record : serverRecords()) {
            if (record["kind"] == kind && record.number("port") == port) return record;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool NamespaceLab::serverHoldsConnection(long port) const {
    const auto sockets =
        run(Side::server, {"/usr/bin/ss", "-Htan", "dport", "=", ":" + std::to_string(port)});
    return !words(sockets.standardOutput).empty();
}

std::string NamespaceLab::serverErrors() const {
    return web_ ? web_->errorText() : std::string();
}

int NamespaceLab::datagramsTo(int n) const {
    const auto records = serverRecords();
    return static_cast<int>(std::count_if(records.begin(), records.end(), [&](const auto& r) {
        return r["kind"] == "udp" && r["lport"] == "443" &&
               (r["local"] == address4(n) || r["local"] == address6(n));
    }));
}

int NamespaceLab::datagramsFrom(long port) const {
    const auto records = serverRecords();
    return static_cast<int>(std::count_if(records.begin(), records.end(), [&](const auto& r) {
        return r["kind"] == "udp" && r.number("port") == port;
    }));
}

std::unique_ptr<LabProcess> NamespaceLab::startFilter(
    const std::string& program, const std::filesystem::path& directive) const {
    auto filter = start(Side::client, {program, "--netfilter", "--directory", directive.string()});
    if (!filter->waitForError("netfilter queues bound", std::chrono::seconds(10))) {
        const std::string log = filter->errorText();
        filter.reset();
        throw LabUnavailable("tolvane-filter --netfilter did not bind its queues: " + log);
    }
    return filter;
}

void NamespaceLab::build() {
    if (geteuid() != 0) throw LabUnavailable("the network laboratory needs root");
    for (const std::string& program :
         {ipProgram, python, std::string("/usr/sbin/dnsmasq"), std::string("/usr/bin/openssl")}) {
        if (access(program.c_str(), X_OK) != 0) throw LabUnavailable(program + " is missing");
    }
    removeStaleNamespaces();
    static std::atomic<int> labs{0};
    const int index = labs++;
    // The PID first, so a later run can tell a dead run's namespaces from a live one's.
    suffix_ = std::to_string(getpid()) + "-" + std::to_string(index);
    client_ = "tlab-c-" + suffix_;
    server_ = "tlab-s-" + suffix_;
    reference_ = options_.reference ? "tlab-r-" + suffix_ : std::string();
    for (const auto* name : {&client_, &server_, &reference_}) {
        if (name->empty()) continue;
        check(runProcess({ipProgram, "netns", "add", *name}), "ip netns add " + *name);
        madeNamespaces_.push_back(*name);
    }
    const std::string tag = std::to_string(getpid()) + "x" + std::to_string(index);

    // Links: client 10.231.1.2 <-> server 10.231.1.1, reference 10.231.2.2 <-> 10.231.2.1.
    struct Link {
        std::string far, nearName, farName;
        int subnet;
    };
    std::vector<Link> links = {{client_, "tls" + tag, "tlc" + tag, 1}};
    if (options_.reference) links.push_back({reference_, "tlq" + tag, "tlr" + tag, 2});
    std::string serverBatch = "link set lo up\n";
    for (const auto& link : links) {
        check(runProcess({ipProgram, "link", "add", link.nearName, "netns", server_, "type", "veth",
                          "peer", "name", link.farName, "netns", link.far}),
              "ip link add " + link.nearName);
        const std::string net = std::to_string(link.subnet);
        serverBatch += "link set " + link.nearName + " up\n";
        serverBatch += "addr add 10.231." + net + ".1/24 dev " + link.nearName + "\n";
        // nodad: the addresses are usable at once instead of after duplicate detection.
        serverBatch += "addr add fd00:231:" + net + "::1/64 dev " + link.nearName + " nodad\n";
    }
    std::set<int> addresses(options_.unnamedAddresses.begin(), options_.unnamedAddresses.end());
    for (const auto& host : options_.hosts) addresses.insert(host.address);
    for (const int n : addresses) {
        serverBatch += "addr add " + address4(n) + "/32 dev lo\n";
        serverBatch += "addr add " + address6(n) + "/128 dev lo nodad\n";
    }
    check(runProcess({ipProgram, "-n", server_, "-batch", "-"}, serverBatch), "server addresses");
    for (const auto& link : links) {
        const std::string net = std::to_string(link.subnet);
        // Only the service range is routed: no other address is reachable from the client.
        const std::string batch =
            "link set lo up\nlink set " + link.farName + " up\n" + "addr add 10.231." + net +
            ".2/24 dev " + link.farName + "\n" + "addr add fd00:231:" + net + "::2/64 dev " +
            link.farName + " nodad\n" + "route add 10.231.100.0/24 via 10.231." + net + ".1\n" +
            "route add fd00:231:100::/64 via fd00:231:" + net + "::1\n";
        check(runProcess({ipProgram, "-n", link.far, "-batch", "-"}, batch),
              "addresses of " + link.far);
        // `ip netns exec` mounts this over /etc/resolv.conf inside the namespace.
        const std::filesystem::path etc = "/etc/netns/" + link.far;
        std::filesystem::create_directories(etc);
        std::ofstream(etc / "resolv.conf")
            << "nameserver 10.231." << net << ".1\noptions timeout:2 attempts:2\n";
    }
    startDns();
    startServer();
    // DNS answering in the client namespace means every piece is up.
    const std::string probe = options_.hosts.empty() ? std::string() : options_.hosts[0].name;
    if (probe.empty()) return;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        const auto answer = client({"resolve", probe});
        if (answer[probe].find(address4(options_.hosts[0].address)) != std::string::npos) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            throw LabUnavailable("DNS does not answer in the client namespace: " +
                                 dns_->errorText());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void NamespaceLab::startDns() {
    std::vector<std::string> argv = {
        "/usr/sbin/dnsmasq", "-k", "--conf-file=/dev/null", "--no-resolv", "--no-hosts",
        "--bind-interfaces", "--listen-address=10.231.1.1", "--listen-address=fd00:231:1::1",
        "--pid-file=" + (temporary_.path() / "dnsmasq.pid").string(),
        // Answers that live long, so the filter keeps what it learnt for a whole run.
        "--local-ttl=600", "--log-facility=-"};
    if (options_.reference) argv.push_back("--listen-address=10.231.2.1");
    std::map<std::string, std::vector<int>> byName;
    for (const auto& host : options_.hosts) byName[host.name].push_back(host.address);
    for (const auto& [name, numbers] : byName) {
        std::string record = "--host-record=" + name;
        for (const int n : numbers) record += "," + address4(n) + "," + address6(n);
        argv.push_back(record);
    }
    for (const auto& alias : options_.aliases) {
        argv.push_back("--cname=" + alias.name + "," + alias.target);
    }
    dns_ = start(Side::server, argv);
}

void NamespaceLab::startServer() {
    const auto key = temporary_.path() / "key.pem";
    const auto certificate = temporary_.path() / "cert.pem";
    std::string names = "subjectAltName=DNS:lab.example";
    for (const auto& host : options_.hosts) names += ",DNS:" + host.name;
    for (const auto& alias : options_.aliases) names += ",DNS:" + alias.name;
    check(runProcess({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                      "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj",
                      "/CN=lab.example", "-addext", names, "-keyout", key.string(), "-out",
                      certificate.string()}),
          "openssl req");
    web_ = start(Side::server, {python, (options_.scriptDirectory / "lab_server.py").string(),
                                "--log", (temporary_.path() / "server.log").string(), "--cert",
                                certificate.string(), "--key", key.string()});
    if (web_->readLine(std::chrono::seconds(10)) != "ready") {
        throw LabUnavailable("lab_server.py did not start: " + web_->errorText());
    }
}

void NamespaceLab::tearDown() noexcept {
    try {
        web_.reset();
        dns_.reset();
        for (const auto& name : madeNamespaces_) removeNamespace(name);
        madeNamespaces_.clear();
    } catch (...) {
        // Teardown runs from destructors; a failed step must not end the test program.
    }
}

NamespaceLab::Options standardLabOptions(const std::filesystem::path& scriptDirectory) {
    using namespace labplan;
    NamespaceLab::Options options;
    options.hosts = {{"allowed.example", shared},
                     {"blocked.example", shared},
                     {"www.blocked.example", shared},
                     {"cdn.cdnshare.example", cdn},
                     {"only.blocked.example", onlyBlocked},
                     {"mixed.blocked.example", mixed},
                     {"mixed.allowed.example", mixed},
                     {"hidden.blocked.example", echHidden},
                     {"browse.blocked.example", browse},
                     {"browse.allowed.example", browse},
                     {"quic.blocked.example", quicBlocked},
                     {"quic.allowed.example", quicAllowed},
                     {"probe.example", probe},
                     {"grow.example", grow},
                     {"restart.blocked.example", restart},
                     {"restart.allowed.example", restart},
                     {"idle.blocked.example", idle}};
    options.aliases = {{"media.blocked.example", "cdn.cdnshare.example"},
                       {"media.allowed.example", "cdn.cdnshare.example"}};
    options.unnamedAddresses = {unnamed, echUnnamed, echAllowed};
    options.scriptDirectory = scriptDirectory;
    return options;
}

}  // namespace tolvane::testing
