// What the fake "winmm.dll" records; read with its FakeWinmmSnapshot entry.
#pragma once

#include <cstdint>
#include <vector>

struct FakeWinmmLog {
  std::uint32_t devCapsCalls = 0;
  std::uint32_t queries = 0;  // successful capability queries
  std::vector<std::uint32_t> begun;
  std::vector<std::uint32_t> ended;
};

using FakeWinmmSnapshotProc = FakeWinmmLog (*)();
