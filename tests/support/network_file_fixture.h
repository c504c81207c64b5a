// The network file of one board, kelG1NN.int in the current folder, present
// while the object lives. Each test uses a board number no other test uses.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

inline std::string NetworkFileName(int32_t board) {
  char name[32];
  std::snprintf(name, sizeof name, "kelG1%.2d.int", static_cast<int>(board));
  return name;
}

class NetworkFile {
 public:
  NetworkFile(int32_t board, const std::string& text) : name_(NetworkFileName(board)) { Write(text); }
  ~NetworkFile() { std::remove(name_.c_str()); }
  NetworkFile(const NetworkFile&) = delete;
  NetworkFile& operator=(const NetworkFile&) = delete;

  void Write(const std::string& text) const {
    std::ofstream out(name_, std::ios::binary | std::ios::trunc);
    out << text;
  }
  const std::string& Name() const { return name_; }

 private:
  std::string name_;
};
