// The reader's table: peak memory on a file far larger than memory should
// need, throughput against a full parse of the same file, instructions per
// byte against the full parse, and the thread pool example's speed-up.
// Every figure comes from a fresh process.
//
//   vexa_reader_bench --table RECORDS SMALL BIG EXAMPLE   the whole table
//   vexa_reader_bench --one next|full FILE [--times N]    one child run
#include <sys/resource.h>
#include <unistd.h>
#include <vexa.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace ORMELA;

namespace {

// The records of the bench's generated file.
const char kRecord[] = "record";

long PeakKilobytes() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

bool ReadAll(const char* path, std::string* text) {
    FILE* file = std::fopen(path, "rb");
    if (!file) return false;
    char buffer[1 << 16];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text->append(buffer, got);
    std::fclose(file);
    return true;
}

// One run: reads every record with Next ("next") or parses the whole text
// read into memory beforehand ("full", timed without the read), times
// times over. Prints "seconds bytes peak-kB records".
int One(const std::string& mode, const char* path, int times) {
    double seconds = 0;
    unsigned long long bytes = 0;
    unsigned long records = 0;
    for (int run = 0; run < times; ++run) {
        if (mode == "next") {
            const auto start = std::chrono::steady_clock::now();
            VexaReader reader;
            if (!reader.Open(path)) return 1;
            while (reader.Next(kRecord)) ++records;
            if (reader.Error()) return 1;
            seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        } else {
            std::string text;
            if (!ReadAll(path, &text)) return 1;
            bytes = text.size();
            const auto start = std::chrono::steady_clock::now();
            VexaDocument doc;
            doc.Parse(text.c_str());
            if (doc.Error()) return 1;
            seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
    }
    if (!bytes) {
        FILE* file = std::fopen(path, "rb");
        if (file && std::fseek(file, 0, SEEK_END) == 0) bytes = static_cast<unsigned long long>(ftello(file));
        if (file) std::fclose(file);
    }
    std::printf("%.6f %llu %ld %lu\n", seconds, bytes, PeakKilobytes(), records);
    return 0;
}

struct Run {
    double seconds = -1;
    double bytes = 0;
    long peak = 0;
    unsigned long records = 0;
};

// Runs command in a shell and reads One's line from its output.
Run Child(const std::string& command) {
    Run r;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return r;
    if (std::fscanf(pipe, "%lf %lf %ld %lu", &r.seconds, &r.bytes, &r.peak, &r.records) != 4) r.seconds = -1;
    if (pclose(pipe) != 0) r.seconds = -1;
    return r;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

// The instruction total of a callgrind run of command, or -1.
double Instructions(const std::string& self, const std::string& args) {
    const std::string out = "/tmp/vexa-reader-callgrind." + std::to_string(getpid());
    const std::string command =
        "valgrind --tool=callgrind --callgrind-out-file=" + out + " " + self + " " + args + " >/dev/null 2>&1";
    double total = -1;
    if (std::system(command.c_str()) == 0) {
        if (FILE* file = std::fopen(out.c_str(), "r")) {
            char line[512];
            while (std::fgets(line, sizeof line, file)) {
                if (std::strncmp(line, "summary:", 8) == 0 || std::strncmp(line, "totals:", 7) == 0)
                    total = std::atof(line + (line[0] == 's' ? 8 : 7));
            }
            std::fclose(file);
        }
    }
    std::remove(out.c_str());
    return total;
}

int Table(const std::string& self, const char* records, const char* small, const char* big, const char* example) {
    const std::string q = "'";
    std::printf("\n== Reading one subtree at a time (VexaReader::Next(\"%s\")), each figure from fresh processes\n",
                kRecord);

    // 1. The big file: peak resident memory.
    const Run large = Child(self + " --one next " + q + big + q);
    if (large.seconds > 0) {
        std::printf("%-44s %9.0f MB %8.1f MB/s  peak RSS %6.1f MB  (%lu records)  [figure: < 64 MB]\n",
                    "generated file, records repeated", large.bytes / 1e6, large.bytes / 1e6 / large.seconds,
                    large.peak / 1024.0, large.records);
    } else {
        std::printf("the big file could not be read\n");
    }

    // 2. Throughput against the full parse, medians of five runs each.
    std::vector<double> next, full;
    Run n, f;
    for (int i = 0; i < 5; ++i) {
        n = Child(self + " --one next " + q + records + q);
        f = Child(self + " --one full " + q + records + q);
        next.push_back(n.seconds);
        full.push_back(f.seconds);
    }
    const double tn = Median(next), tf = Median(full);
    std::printf("%-44s %9.0f MB %8.1f MB/s  peak RSS %6.1f MB\n", "records.xml, Next over every record", n.bytes / 1e6,
                n.bytes / 1e6 / tn, n.peak / 1024.0);
    std::printf("%-44s %9.0f MB %8.1f MB/s  peak RSS %6.1f MB\n", "records.xml, full parse of the text in memory",
                f.bytes / 1e6, f.bytes / 1e6 / tf, f.peak / 1024.0);
    std::printf("%-44s %.2fx  [figure: >= 0.80x]\n", "reader speed / full parse speed", tf / tn);

    // 3. Instructions per byte, steady state: (3 runs - 1 run) / 2.
    if (std::system("command -v valgrind >/dev/null 2>&1") == 0) {
        Run s = Child(self + " --one full " + q + small + q);
        const std::string file = " " + q + small + q;
        const double n1 = Instructions(self, "--one next" + file + " --times 1");
        const double n3 = Instructions(self, "--one next" + file + " --times 3");
        const double f1 = Instructions(self, "--one full" + file + " --times 1");
        const double f3 = Instructions(self, "--one full" + file + " --times 3");
        if (n1 > 0 && n3 > 0 && f1 > 0 && f3 > 0 && s.bytes > 0) {
            const double ni = (n3 - n1) / 2 / s.bytes, fi = (f3 - f1) / 2 / s.bytes;
            std::printf("%-44s reader %.1f, full parse %.1f instructions per byte: %.2fx\n",
                        "callgrind, records at a tenth of the size", ni, fi, ni / fi);
        }
    } else {
        std::printf("valgrind is not installed: instruction counts skipped\n");
    }

    // 4. The example's pool against all the work in one thread.
    std::vector<double> one, pool;
    for (int i = 0; i < 3; ++i) {
        for (int threads : {0, 2}) {
            const std::string command = q + example + q + " " + q + records + q + " " + kRecord + " " +
                                        std::to_string(threads) + " 2>&1 >/dev/null";
            FILE* pipe = popen(command.c_str(), "r");
            double seconds = -1;
            int ignored = 0;
            if (pipe && std::fscanf(pipe, "%d threads: %lf", &ignored, &seconds) != 2) seconds = -1;
            if (pipe) pclose(pipe);
            (threads ? pool : one).push_back(seconds);
        }
    }
    std::printf("%-44s one thread %.3f s, reader + 2 workers %.3f s: %.2fx\n", "examples/each.cpp, medians of 3",
                Median(one), Median(pool), Median(one) / Median(pool));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "--one") == 0) {
        const int times = argc >= 6 && std::strcmp(argv[4], "--times") == 0 ? std::atoi(argv[5]) : 1;
        return One(argv[2], argv[3], times < 1 ? 1 : times);
    }
    if (argc == 6 && std::strcmp(argv[1], "--table") == 0) return Table(argv[0], argv[2], argv[3], argv[4], argv[5]);
    std::fprintf(stderr,
                 "usage: vexa_reader_bench --table RECORDS SMALL BIG EXAMPLE\n"
                 "       vexa_reader_bench --one next|full FILE [--times N]\n");
    return 2;
}
