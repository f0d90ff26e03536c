// selvarn-c-header: writes the member slots of selvarn_SMSVtbl in the C header from the
// member table (src/api/members.def). The header is checked in, so that people read it as
// it is installed; the build's c_header_drift test fails when it no longer matches the
// table, and `cmake --build build --target c_header` writes it again. It is built from the
// type library alone, not from the library: after a new row in the table the library
// does not build until its slot is in the header.
//
//   selvarn-c-header --check|--write include/selvarn/selvarn_sms.h
#include <algorithm>
#include <cstddef>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "api/type_library.hpp"

namespace {

constexpr std::string_view kBegin =
    "  /* The members' slots, generated from the member table: not to be edited by hand. */\n";
constexpr std::string_view kEnd = "  /* End of the members' slots. */\n";
constexpr std::size_t kColumns = 100;  // the project's clang-format column limit

using selvarn::api::Kind;
using selvarn::api::Type;

// The C type of a value: as an argument (text borrowed), or through a pointer.
std::string CType(Type type, bool pointer) {
  switch (type) {
    case Type::Boolean:
      return pointer ? "selvarn_variant_bool*" : "selvarn_variant_bool";
    case Type::Int16:
      return pointer ? "int16_t*" : "int16_t";
    case Type::String:
      return pointer ? "char**" : "const char*";
    case Type::DeliveryStatus:
    case Type::ModemStatus:
      return pointer ? "int32_t*" : "int32_t";
    case Type::Void:
      break;
  }
  throw std::runtime_error("a member of a type the C header cannot declare");
}

// One slot, wrapped as clang-format wraps it: the parameters packed, continuation lines
// aligned after the opening parenthesis.
std::string Slot(const selvarn::api::Function& f) {
  const selvarn::api::Member& m = *f.member;
  std::string name(m.name);
  std::vector<std::string> params{"selvarn_SMS* This"};
  if (f.kind == Kind::PropertyPut) {
    name = "put_" + name;
    params.push_back(CType(m.type, false) + " value");
  } else if (f.kind == Kind::PropertyGet) {
    name = "get_" + name;
    params.push_back(CType(m.type, true) + " value");
  } else {
    for (const selvarn::api::Param& p : m.params) {
      params.push_back(CType(p.type, p.by_ref) + " " + std::string(p.name));
    }
    if (m.type != Type::Void) params.push_back(CType(m.type, true) + " result");
  }
  std::string line = "  selvarn_hresult (*" + name + ")(";
  const std::string indent(line.size(), ' ');
  std::string out;
  for (std::size_t i = 0; i < params.size(); ++i) {
    const std::string piece = params[i] + (i + 1 < params.size() ? "," : ");");
    const bool first = line.back() == '(';
    if (!first && line.size() + 1 + piece.size() > kColumns) {
      out += line + "\n";
      line = indent + piece;
    } else {
      line += (first ? "" : " ") + piece;
    }
  }
  return out + line + "\n";
}

std::string Slots() {
  std::string block;
  bool methods = false;
  for (const selvarn::api::Function& f : selvarn::api::Functions()) {
    // The methods stand apart from the properties' puts and gets.
    if (f.kind == Kind::Method && !methods && !block.empty()) block += "\n";
    methods = f.kind == Kind::Method;
    block += Slot(f);
  }
  return block;
}

// 0 when the header's slots are the table's (after writing them, with --write), 1 when
// they differ (--check), 2 when the header cannot be read or written.
int Run(bool write, const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream read;
  read << in.rdbuf();
  const std::string header = read.str();
  const std::size_t begin = header.find(kBegin), end = header.find(kEnd);
  if (!in || begin == std::string::npos || end == std::string::npos || end < begin) {
    std::cerr << "selvarn-c-header: " << path << " has no generated slots to replace\n";
    return 2;
  }
  const std::size_t from = begin + kBegin.size();
  const std::string slots = Slots();
  const std::string made = header.substr(0, from) + slots + header.substr(end);
  if (made == header) return 0;
  if (write) return (std::ofstream(path, std::ios::binary) << made) ? 0 : 2;
  // The first line that differs, where an editor finds it.
  std::istringstream old(header.substr(from, end - from)), now(slots);
  std::string was, is;
  auto line = std::count(header.begin(), header.begin() + static_cast<std::ptrdiff_t>(from), '\n');
  while (std::getline(old, was) && std::getline(now, is) && was == is) ++line;
  std::cerr << path << ":" << line + 1
            << ": a slot differs from the member table\n  header: " << was << "\n  table:  " << is
            << "\nWrite the slots again with: cmake --build build --target c_header\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view mode = argc == 3 ? argv[1] : "";
  if (mode != "--check" && mode != "--write") {
    std::cerr << "usage: selvarn-c-header --check|--write HEADER\n";
    return 2;
  }
  try {
    return Run(mode == "--write", argv[2]);
  } catch (const std::exception& e) {
    std::cerr << "selvarn-c-header: " << e.what() << "\n";
    return 2;
  }
}
