#include "pool/cgroup_quota.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "pool/decimal.hpp"

namespace rowmerge::pool {
namespace {

using Components = std::vector<std::string>;

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) return std::nullopt;
  return text;
}

bool exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

std::vector<std::string_view> split(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = text.find(sep);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

std::vector<std::string_view> lines(std::string_view text) {
  std::vector<std::string_view> out = split(text, '\n');
  if (!out.empty() && out.back().empty()) out.pop_back();  // the final line break
  for (auto& line : out) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  }
  return out;
}

std::string_view trim(std::string_view s) {
  constexpr std::string_view kSpace = " \t\n\r\f\v";
  const std::size_t first = s.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(kSpace) - first + 1);
}

bool contains(std::string_view comma_list, std::string_view item) {
  for (const auto part : split(comma_list, ',')) {
    if (part == item) return true;
  }
  return false;
}

// Path components, as a path library would see them: empty and "." parts
// carry no meaning.
Components components(std::string_view path) {
  Components out;
  for (const auto part : split(path, '/')) {
    if (!part.empty() && part != ".") out.emplace_back(part);
  }
  return out;
}

std::string join(const std::string& base, const Components& parts, std::size_t count) {
  std::string path = base;
  for (std::size_t i = 0; i < count; ++i) {
    path += '/';
    path += parts[i];
  }
  return path;
}

enum class Version { kNone, kV1, kV2 };

struct Membership {
  Version version = Version::kNone;
  Components path;
};

// A version-1 entry (controllers include "cpu") overrides anything before it;
// a version-2 entry (no controllers) counts only while nothing was found.
Membership find_membership(std::string_view text) {
  Membership found;
  for (const auto line : lines(text)) {
    const std::size_t first = line.find(':');
    if (first == std::string_view::npos) continue;
    const std::size_t second = line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    std::string_view path = line.substr(second + 1);
    if (!path.empty()) path.remove_prefix(1);  // the leading "/"
    if (controllers.empty()) {
      if (found.version == Version::kNone) found = {Version::kV2, components(path)};
    } else if (contains(controllers, "cpu")) {
      found = {Version::kV1, components(path)};
    }
  }
  return found;
}

std::uint32_t v2_quota(const std::string& fs_root, const Components& path) {
  const std::string base = fs_root + "/sys/fs/cgroup";
  std::uint32_t quota = kNoQuota;
  if (!exists(join(base, path, path.size()) + "/cgroup.controllers")) return quota;
  for (std::size_t depth = path.size() + 1; depth-- > 0;) {
    const auto text = read_file(join(base, path, depth) + "/cpu.max");
    if (!text) continue;
    std::string_view first = *text;
    first = first.substr(0, first.find('\n'));
    const std::size_t space = first.find(' ');
    if (space == std::string_view::npos) continue;
    const auto limit = parse_decimal(first.substr(0, space));
    const auto period = parse_decimal(first.substr(space + 1));
    if (limit && period && *period > 0) quota = std::min(quota, *limit / *period);
  }
  return quota;
}

// The first cgroup mount of "/proc/self/mountinfo" with the "cpu" controller
// whose root is a leading part of `path` (whole components); returns its mount
// point and the rest of the path below that root.
std::optional<std::pair<std::string, Components>> mountinfo_candidate(const std::string& fs_root,
                                                                       const Components& path) {
  const auto text = read_file(fs_root + "/proc/self/mountinfo");
  if (!text) return std::nullopt;
  for (const auto line : lines(*text)) {
    const auto fields = split(line, ' ');
    if (fields.size() < 8) continue;
    const auto separator = std::find(fields.begin() + 6, fields.end(), std::string_view("-"));
    if (separator == fields.end() || fields.end() - separator < 3) continue;
    if (separator[1] != "cgroup" || !contains(fields.back(), "cpu")) continue;
    std::string_view root = fields[3];
    if (!root.empty() && root.front() == '/') root.remove_prefix(1);
    const Components root_parts = components(root);
    if (root_parts.size() > path.size() || !std::equal(root_parts.begin(), root_parts.end(), path.begin())) {
      continue;
    }
    Components rest(path.begin() + static_cast<std::ptrdiff_t>(root_parts.size()), path.end());
    return std::make_pair(fs_root + std::string(fields[4]), std::move(rest));
  }
  return std::nullopt;
}

std::uint32_t v1_quota(const std::string& fs_root, const Components& path) {
  std::uint32_t quota = kNoQuota;
  std::optional<std::pair<std::string, Components>> mount;
  for (const char* fixed : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
    if (exists(join(fs_root + fixed, path, path.size()))) {
      mount.emplace(fs_root + fixed, path);
      break;
    }
  }
  if (!mount) {
    mount = mountinfo_candidate(fs_root, path);
    if (!mount || !exists(join(mount->first, mount->second, mount->second.size()))) return quota;
  }
  const auto& [mount_point, rest] = *mount;
  for (std::size_t depth = rest.size() + 1; depth-- > 0;) {
    const std::string dir = join(mount_point, rest, depth);
    const auto quota_text = read_file(dir + "/cpu.cfs_quota_us");
    const auto period_text = read_file(dir + "/cpu.cfs_period_us");
    if (!quota_text || !period_text) continue;
    const auto limit = parse_decimal(trim(*quota_text));  // "-1" (no limit) is not a number
    const auto period = parse_decimal(trim(*period_text));
    if (limit && period && *period > 0) quota = std::min(quota, *limit / *period);
  }
  return quota;
}

}  // namespace

std::uint32_t cgroup_cpu_quota(const std::string& fs_root) {
  std::uint32_t quota = kNoQuota;
  if (const auto text = read_file(fs_root + "/proc/self/cgroup")) {
    const Membership m = find_membership(*text);
    if (m.version == Version::kV2) quota = v2_quota(fs_root, m.path);
    if (m.version == Version::kV1) quota = v1_quota(fs_root, m.path);
  }
  return std::max<std::uint32_t>(quota, 1);
}

}  // namespace rowmerge::pool
