// NetNamespace - a network namespace of the test's own, made with iproute2,
// for tests that need the kernel's real answers about interfaces without
// touching the machine's own network.
//
//   NetNamespace ns;                               // "zarnet-<pid>-<n>", deleted at the end
//   if (!ns.Ok()) GTEST_SKIP() << ns.Why();
//   ns.Ip("link add name za type veth peer name zb");
//   ns.RunInside([] { ... get_local_addr ... });   // on a thread that entered the namespace
//
// Needs root (CAP_SYS_ADMIN) and the "ip" command; Ok() is false with the
// reason otherwise. Names carry the process id, so suites running side by
// side never meet, and namespaces left by a killed run of a process that
// no longer exists are removed on the way.
#ifndef ZAR_TEST_NET_NAMESPACE_H
#define ZAR_TEST_NET_NAMESPACE_H

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

class NetNamespace {
 public:
  NetNamespace() {
    static std::atomic<int> s_nNext{0};
    RemoveStale();
    m_strName = "zarnet-" + std::to_string(getpid()) + "-" + std::to_string(s_nNext.fetch_add(1));
    if (geteuid() != 0) {
      m_strWhy = "needs root to create a network namespace";
      return;
    }
    // Two suites creating their first namespaces at once can trip over the
    // shared mount of the namespace directory; a second try succeeds.
    bool added = false;
    for (int attempt = 0; attempt < 3 && !added; ++attempt) added = Run("ip netns add " + m_strName);
    if (!added) {
      m_strWhy = "\"ip netns add\" failed (no iproute2, or namespaces are not permitted here)";
      return;
    }
    m_bCreated = true;
    if (!Ip("link set dev lo up")) m_strWhy = "cannot configure the test namespace";
  }
  ~NetNamespace() {
    if (m_bCreated) Run("ip netns del " + m_strName);
  }
  NetNamespace(const NetNamespace&) = delete;
  NetNamespace& operator=(const NetNamespace&) = delete;

  bool Ok() const { return m_bCreated && m_strWhy.empty(); }
  const std::string& Why() const { return m_strWhy; }
  const std::string& Name() const { return m_strName; }

  // Runs "ip -n <ns> <aArgs>"; true when it succeeded.
  bool Ip(const std::string& aArgs) { return Run("ip -n " + m_strName + " " + aArgs); }
  // Runs a command inside the namespace ("ip netns exec").
  bool Exec(const std::string& aCommand) { return Run("ip netns exec " + m_strName + " " + aCommand); }

  // Runs aFn on a thread that joined the namespace; false when it could not
  // join. The thread ends with aFn, so the caller's thread never changes
  // namespace.
  bool RunInside(const std::function<void()>& aFn) {
    bool joined = false;
    std::thread inside([&] {
      const int fd = open(("/var/run/netns/" + m_strName).c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) return;
      joined = setns(fd, CLONE_NEWNET) == 0;
      close(fd);
      if (joined) aFn();
    });
    inside.join();
    return joined;
  }

 private:
  static bool Run(const std::string& aCommand) { return std::system((aCommand + " >/dev/null 2>&1").c_str()) == 0; }

  // Namespaces of earlier runs whose process is gone.
  static void RemoveStale() {
    DIR* dir = opendir("/var/run/netns");
    if (!dir) return;
    while (const dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name.compare(0, 7, "zarnet-") != 0) continue;
      const long pid = strtol(name.c_str() + 7, nullptr, 10);
      if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0) Run("ip netns del " + name);
    }
    closedir(dir);
  }

  std::string m_strName;
  std::string m_strWhy;
  bool m_bCreated = false;
};

#endif  // ZAR_TEST_NET_NAMESPACE_H
