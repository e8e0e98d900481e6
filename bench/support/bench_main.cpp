#include "bench_main.h"

#include "frames.h"

#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

namespace marvok::bench {

namespace {

// benchmark::Initialize takes a plain function for --help.
std::string help_about;
const std::vector<Flag>* help_flags = nullptr;

void print_help()
{
    std::cout << help_about << "\n\nOptions of this program:\n";
    for (const auto& f : *help_flags)
        std::cout << "  --" << f.name << "=" << f.value << "\n      " << f.help << "\n";
    std::cout << "\nOptions of Google Benchmark:\n";
    benchmark::PrintDefaultHelp();
}

[[noreturn]] void usage_error(const char* program, const std::string& message)
{
    std::cerr << program << ": " << message << " (see --help)\n";
    std::exit(2);
}

const char* program_name = "benchmark";
std::string chosen_sim = MARVOK_SIM_PROGRAM;
bool any_failed = false;

}  // namespace

void initialize(int* argc, char** argv, const std::string& about, std::vector<Flag>& flags)
{
    program_name = argv[0];
    flags.push_back({"sim", MARVOK_SIM_PROGRAM, "the marvok-sim program to run (another build, to compare)"});
    help_about = about;
    help_flags = &flags;
    benchmark::Initialize(argc, argv, print_help);
    int kept = 1;
    for (int i = 1; i < *argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            print_help();
            std::exit(0);
        }
        const auto eq = arg.find('=');
        bool known = false;
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            const std::string name = arg.substr(2, eq - 2);
            for (auto& f : flags)
                if (f.name == name) {
                    f.value = arg.substr(eq + 1);
                    known = true;
                }
        }
        if (!known)
            argv[kept++] = argv[i];
    }
    *argc = kept;
    if (*argc > 1)
        usage_error(argv[0], std::string("unknown argument '") + argv[1] + "'");
    chosen_sim = flag(flags, "sim");
    if (access(chosen_sim.c_str(), X_OK) != 0)
        usage_error(argv[0], "--sim: cannot run '" + chosen_sim + "'");
}

const std::string& flag(const std::vector<Flag>& flags, const std::string& name)
{
    for (const auto& f : flags)
        if (f.name == name)
            return f.value;
    throw std::logic_error("no flag --" + name);
}

namespace {

long parse_positive(const std::string& name, const std::string& text)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < 1)
        usage_error(program_name, "--" + name + " needs a positive integer, not '" + text + "'");
    return value;
}

}  // namespace

long positive_flag(const std::vector<Flag>& flags, const std::string& name)
{
    return parse_positive(name, flag(flags, name));
}

std::vector<long> positive_list_flag(const std::vector<Flag>& flags, const std::string& name)
{
    std::vector<long> values;
    std::stringstream in(flag(flags, name));
    for (std::string item; std::getline(in, item, ',');)
        values.push_back(parse_positive(name, item));
    if (values.empty())
        usage_error(program_name, "--" + name + " needs at least one value");
    return values;
}

void fail(benchmark::State& state, const std::string& why)
{
    any_failed = true;
    state.SkipWithError(why.c_str());
}

int finish(const std::vector<ServerProcess*>& servers)
{
    for (auto* server : servers)
        if (!server->stop()) {
            std::cerr << program_name << ": a server (pid " << server->pid() << ") did not end cleanly\n";
            any_failed = true;
        }
    return any_failed ? 1 : 0;
}

std::string sim_program() { return chosen_sim; }
std::string peer_program() { return MARVOK_BENCH_PEER_PROGRAM; }
std::string echo_program() { return MARVOK_BENCH_ECHO_PROGRAM; }

Server serve_on_loopback(const std::string& program)
{
    std::string why;
    for (int attempt = 0; attempt < 10; ++attempt) {
        Server server{random_loopback_text(), nullptr};
        server.process = ServerProcess::start({program, "--listen", server.address, "--fpm", fpm_text}, 1,
                                              std::chrono::seconds(10), why);
        if (server.process)
            return server;
    }
    std::cerr << program_name << ": cannot start a server: " << why << "\n";
    std::exit(1);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::optional<std::array<std::vector<double>, 3>> rounds_of_three(benchmark::State& state, const Measure& measure)
{
    std::array<std::vector<double>, 3> figures;
    int round = 0;
    for (auto _ : state) {
        for (int k = 0; k < 3; ++k) {
            const int i = (k + round) % 3;
            const auto figure = measure(i);
            if (!figure)
                return std::nullopt;
            figures[static_cast<std::size_t>(i)].push_back(*figure);
        }
        ++round;
    }
    return figures;
}

double median_ratio(const std::vector<double>& a, const std::vector<double>& b)
{
    std::vector<double> ratios;
    for (std::size_t k = 0; k < a.size() && k < b.size(); ++k)
        ratios.push_back(a[k] / b[k]);
    return median(std::move(ratios));
}

double process_cpu_seconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto paren = text.rfind(')');
    if (paren == std::string::npos)
        return 0;
    // After the command's closing parenthesis: state is field 3, utime 14, stime 15.
    std::istringstream fields(text.substr(paren + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double thread_cpu_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace marvok::bench
