// Reads a large file one record at a time and spreads the work on the
// records over a small pool of threads. Memory stays bounded: the reader
// holds one record, and the queue a few hundred.
//
//   vexa_example_each FILE NAME [THREADS]   (THREADS 0: all in this thread)
#include <vexa.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace ORMELA;

namespace {

// The work on one record: its compact form and a checksum of it, and the
// number of its elements. A program would do its own here.
struct Tally {
    unsigned long records = 0;
    unsigned long elements = 0;
    unsigned long long checksum = 0;

    void Add(const VexaElement& record) {
        std::string text;
        text << record;
        unsigned long long hash = 1469598103934665603ULL;  // FNV-1a
        for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
        checksum += hash;  // a sum: the same whatever order the threads take
        ++records;
        for (const VexaNode* n = &record; n;) {
            if (n->ToElement()) ++elements;
            if (n->FirstChild()) {
                n = n->FirstChild();
                continue;
            }
            while (n != &record && !n->NextSibling()) n = n->Parent();
            n = n == &record ? nullptr : n->NextSibling();
        }
    }
};

// Records go from the reading thread to the workers in batches, which
// keeps the locking rare; a full queue makes the reader wait, so that
// memory stays bounded.
using Batch = std::vector<std::unique_ptr<VexaDocument>>;
const size_t kBatch = 64;

class Queue {
public:
    void Push(Batch batch) {
        std::unique_lock<std::mutex> lock(mutex);
        roomy.wait(lock, [this] { return items.size() < kCapacity; });
        items.push_back(std::move(batch));
        filled.notify_one();
    }
    // An empty batch once the queue is closed and empty.
    Batch Pop() {
        std::unique_lock<std::mutex> lock(mutex);
        filled.wait(lock, [this] { return !items.empty() || closed; });
        if (items.empty()) return Batch();
        Batch batch = std::move(items.front());
        items.pop_front();
        roomy.notify_one();
        return batch;
    }
    void Close() {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
        filled.notify_all();
    }

private:
    static const size_t kCapacity = 8;
    std::mutex mutex;
    std::condition_variable roomy, filled;
    std::deque<Batch> items;
    bool closed = false;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FILE NAME [THREADS]\n", argv[0]);
        return 2;
    }
    const int threads = argc > 3 ? std::atoi(argv[3]) : 2;
    const auto start = std::chrono::steady_clock::now();

    VexaReader reader;
    if (!reader.Open(argv[1])) {
        std::fprintf(stderr, "%s: %s\n", argv[1], reader.ErrorText());
        return 1;
    }
    Queue queue;
    std::vector<Tally> tallies(threads > 0 ? threads : 1);
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; ++i) {
        pool.emplace_back([&queue, &tallies, i] {
            for (Batch batch = queue.Pop(); !batch.empty(); batch = queue.Pop()) {
                for (const auto& record : batch) tallies[i].Add(*record->LastChild()->ToElement());
            }
        });
    }
    Batch batch;
    while (reader.Next(argv[2])) {
        if (threads > 0) {
            // A released record is in a document of its own, taken over
            // without a copy: any thread may use it.
            batch.emplace_back(reader.ReleaseDocument());
            if (batch.size() == kBatch) {
                queue.Push(std::move(batch));
                batch.clear();  // a moved-from vector is valid but unspecified
            }
        } else {
            tallies[0].Add(*reader.Current());
        }
    }
    if (!batch.empty()) queue.Push(std::move(batch));
    queue.Close();
    for (std::thread& t : pool) t.join();

    Tally total;
    for (const Tally& t : tallies) {
        total.records += t.records;
        total.elements += t.elements;
        total.checksum += t.checksum;
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    if (reader.Error()) {
        std::fprintf(stderr, "%s:%d:%d: %s\n", argv[1], reader.ErrorRow() + 1, reader.ErrorCol() + 1,
                     reader.ErrorText());
        return 1;
    }
    std::printf("%lu records, %lu elements, checksum %016llx\n", total.records, total.elements, total.checksum);
    std::fprintf(stderr, "%d threads: %.3f s\n", threads, elapsed.count());
    return 0;
}
