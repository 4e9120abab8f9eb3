#include "ProgStats.h"

#include <bpf/bpf.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

TProgStats HookStats() {
  TProgStats s;
  uint32_t id = 0;
  while (bpf_prog_get_next_id(id, &id) == 0) {
    const int fd = bpf_prog_get_fd_by_id(id);
    if (fd < 0) continue;
    bpf_prog_info info{};
    uint32_t len = sizeof(info);
    if (bpf_obj_get_info_by_fd(fd, &info, &len) == 0 &&
        (std::strcmp(info.name, "count_ingress") == 0 ||
         std::strcmp(info.name, "count_egress") == 0)) {
      s.Ns += static_cast<double>(info.run_time_ns);
      s.Runs += static_cast<double>(info.run_cnt);
    }
    close(fd);
  }
  return s;
}

bool SetStats(bool on) {
  FILE* f = std::fopen("/proc/sys/kernel/bpf_stats_enabled", "w");
  if (f == nullptr) return false;
  std::fputs(on ? "1" : "0", f);
  return std::fclose(f) == 0;
}
