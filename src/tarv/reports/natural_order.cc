#include "tarv/reports/natural_order.h"

namespace tarv {

std::string stripLeadingZeros(const std::string& text) {
  const std::size_t first = text.find_first_not_of('0');
  return first == std::string::npos ? "0" : text.substr(first);
}

bool compareNaturalOrder(const std::string& a, const std::string& b) {
  std::size_t ia = 0;
  std::size_t ib = 0;
  while (true) {
    if (ia > a.size() || ib > b.size()) return a < b;
    const std::size_t ea = std::min(a.find('-', ia), a.size());
    const std::size_t eb = std::min(b.find('-', ib), b.size());
    const std::string pa = a.substr(ia, ea - ia);
    const std::string pb = b.substr(ib, eb - ib);
    if (pa != pb) {
      const std::string sa = stripLeadingZeros(pa);
      const std::string sb = stripLeadingZeros(pb);
      if (sa.size() != sb.size()) return sa.size() < sb.size();
      if (sa != sb) return sa < sb;
    }
    ia = ea + 1;
    ib = eb + 1;
  }
}

bool lessByFolderName(const std::filesystem::path& a, const std::filesystem::path& b) {
  return compareNaturalOrder(a.filename().string(), b.filename().string());
}

}  // namespace tarv
