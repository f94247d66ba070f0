// What the exchange costs, next to what it is measured against: the floor of an
// uncontended robust, process-shared lock with a 120-byte copy, and a POSIX message
// queue send+receive pair. Run: build-*/bench/exchange/velmar_bench; beside an earlier
// build: bench/exchange/side_by_side.sh (BENCHMARKS.md).
//
// The library is loaded with dlopen after VELMAR_INSTANCE is set, so the benchmark
// never meets a real installation's region.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <mqueue.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Exports {
  int32_t (*SetCommandEntry)(const char*);
  int16_t (*GetCommandEntry)(char*, uint32_t);
  int32_t (*SetSysLogEntry)(const char*, const char*);
  int16_t (*GetSysLogEntry)(int32_t, char*, uint32_t);
  int32_t (*SetDebugEntry)(const char*);
  int16_t (*GetDebugEntry)(int32_t, char*, uint32_t);
} g;

// A typical command: "FT:", two receivers, a short message.
const char kCommand[] =
    "FT:GROUP1\xFEJOHN\xFE"
    "Fire in hall 3, evacuate by the north stairs";
const char kLogLine[] = "01-03-05 14:30:00 WEB Received HTTP message request from 127.0.0.1";

void LoadLibrary() {
  if (std::getenv("VELMAR_INSTANCE") == nullptr)
    setenv("VELMAR_INSTANCE", ("bench." + std::to_string(getpid())).c_str(), 1);
  void* lib = dlopen(VELMAR_LIBRARY, RTLD_NOW);
  if (lib == nullptr) {
    std::fprintf(stderr, "cannot load %s: %s\n", VELMAR_LIBRARY, dlerror());
    std::exit(1);
  }
  g.SetCommandEntry = reinterpret_cast<decltype(g.SetCommandEntry)>(dlsym(lib, "SetCommandEntry"));
  g.GetCommandEntry = reinterpret_cast<decltype(g.GetCommandEntry)>(dlsym(lib, "GetCommandEntry"));
  g.SetSysLogEntry = reinterpret_cast<decltype(g.SetSysLogEntry)>(dlsym(lib, "SetSysLogEntry"));
  g.GetSysLogEntry = reinterpret_cast<decltype(g.GetSysLogEntry)>(dlsym(lib, "GetSysLogEntry"));
  g.SetDebugEntry = reinterpret_cast<decltype(g.SetDebugEntry)>(dlsym(lib, "SetDebugEntry"));
  g.GetDebugEntry = reinterpret_cast<decltype(g.GetDebugEntry)>(dlsym(lib, "GetDebugEntry"));
}

// A second process (forked, so it shares this one's hold on the region) that keeps
// taking the lock with the same pairs until it is stopped.
class Contender {
 public:
  explicit Contender(bool contend) {
    if (!contend) return;
    pid_ = fork();
    if (pid_ == 0) {
      char buffer[256];
      for (;;) {
        g.SetCommandEntry(kCommand);
        g.GetCommandEntry(buffer, sizeof buffer);
        g.SetDebugEntry(kLogLine);
        g.GetDebugEntry(0, buffer, sizeof buffer);
      }
    }
  }
  ~Contender() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_ = 0;
};

void BM_CommandPair(benchmark::State& state) {
  Contender contender(state.range(0) != 0);
  char buffer[4096];
  for (auto _ : state) {
    g.SetCommandEntry(kCommand);
    benchmark::DoNotOptimize(g.GetCommandEntry(buffer, sizeof buffer));
  }
}
BENCHMARK(BM_CommandPair)->ArgName("contended")->Arg(0)->Arg(1);

void BM_QueuePair(benchmark::State& state) {
  Contender contender(state.range(0) != 0);
  char buffer[256];
  for (auto _ : state) {
    g.SetDebugEntry(kLogLine);
    benchmark::DoNotOptimize(g.GetDebugEntry(0, buffer, sizeof buffer));
  }
}
BENCHMARK(BM_QueuePair)->ArgName("contended")->Arg(0)->Arg(1);

// A full queue: every store moves 199 entries of 120 bytes down.
void BM_SysLogEntryNoFile(benchmark::State& state) {
  Contender contender(state.range(0) != 0);
  for (auto _ : state) benchmark::DoNotOptimize(g.SetSysLogEntry(nullptr, kLogLine));
}
BENCHMARK(BM_SysLogEntryNoFile)->ArgName("contended")->Arg(0)->Arg(1);

void BM_SysLogEntryWithFile(benchmark::State& state) {
  char dir[] = "/tmp/velmar-bench-XXXXXX";
  if (mkdtemp(dir) == nullptr) {
    state.SkipWithError("no temporary directory");
    return;
  }
  const std::string file = std::string(dir) + "/20010305.LOG";
  {
    Contender contender(state.range(0) != 0);
    for (auto _ : state) benchmark::DoNotOptimize(g.SetSysLogEntry(file.c_str(), kLogLine));
  }
  chmod(file.c_str(), 0644);
  unlink(file.c_str());
  rmdir(dir);
}
BENCHMARK(BM_SysLogEntryWithFile)->ArgName("contended")->Arg(0)->Arg(1);

// Reference: an uncontended robust, process-shared mutex in shared memory, taken and
// released around a 120-byte copy, as the exports do at least.
void BM_FloorLockAndCopy(benchmark::State& state) {
  struct Shared {
    pthread_mutex_t mutex;
    char entry[120];
  };
  void* memory =
      mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  auto* shared = static_cast<Shared*>(memory);
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(&shared->mutex, &attr);
  char source[120];
  std::memset(source, 'x', sizeof source);
  for (auto _ : state) {
    pthread_mutex_lock(&shared->mutex);
    std::memcpy(shared->entry, source, sizeof source);
    benchmark::ClobberMemory();
    pthread_mutex_unlock(&shared->mutex);
  }
  pthread_mutex_destroy(&shared->mutex);
  munmap(memory, sizeof(Shared));
}
BENCHMARK(BM_FloorLockAndCopy);

// Reference: a POSIX message queue send and receive of one command-sized message.
void BM_MessageQueuePair(benchmark::State& state) {
  const std::string name = "/velmar-bench-mq." + std::to_string(getpid());
  mq_attr attr{};
  attr.mq_maxmsg = 10;
  attr.mq_msgsize = 128;
  const mqd_t q = mq_open(name.c_str(), O_RDWR | O_CREAT, 0600, &attr);
  if (q == static_cast<mqd_t>(-1)) {
    state.SkipWithError("no message queue");
    return;
  }
  char buffer[128];
  for (auto _ : state) {
    mq_send(q, kCommand, sizeof kCommand, 0);
    benchmark::DoNotOptimize(mq_receive(q, buffer, sizeof buffer, nullptr));
  }
  mq_close(q);
  mq_unlink(name.c_str());
}
BENCHMARK(BM_MessageQueuePair);

}  // namespace

int main(int argc, char** argv) {
  LoadLibrary();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
