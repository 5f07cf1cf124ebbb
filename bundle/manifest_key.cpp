#include "bundle/manifest_key.h"

#include <cctype>
#include <stdexcept>

namespace ka::manifest_key {
namespace {
bool isBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

[[noreturn]] void refuseAmbiguous(const std::string& key, const std::vector<KeyHit>& hits) {
  std::string positions;
  for (size_t i = 0; i < hits.size(); ++i) {
    if (i) positions += ", ";
    positions += "byte " + std::to_string(hits[i].pos);
  }
  throw std::runtime_error(
      "manifest: key \"" + key + "\" is AMBIGUOUS — " + std::to_string(hits.size()) +
      " scalar occurrences (" + positions +
      "). A loader that picks one silently installs a number nobody checks. Rename the "
      "colliding key (a nested block must not reuse a name the bundle loader reads: "
      "NT/frame_count, H, W, crop/crop_size, amount, sigma, ksize, frames, "
      "M_src_w/paste_source_width, M_src_h/paste_source_height), or produce the bundle "
      "with the legacy manifest layout.");
}
}  // namespace

std::vector<KeyHit> keyHits(const std::string& text, const std::string& key) {
  std::vector<KeyHit> hits;
  int32_t depth = 0;
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    const char c = text[i];
    if (c == '[' || c == '{') {
      ++depth;
      ++i;
    } else if (c == ']' || c == '}') {
      --depth;
      ++i;
    } else if (c == '"') {
      size_t close = i + 1;
      while (close < n && text[close] != '"') close += (text[close] == '\\') ? 2 : 1;
      if (close >= n) break;  // unterminated string: nothing after it can be a key
      size_t j = close + 1;
      while (j < n && isBlank(text[j])) ++j;
      if (j < n && text[j] == ':') {
        if (close - (i + 1) == key.size() && text.compare(i + 1, key.size(), key) == 0) {
          size_t v = j + 1;
          while (v < n && isBlank(text[v])) ++v;
          KeyHit h;
          h.pos = v;
          h.depth = depth;
          h.scalar = v < n && text[v] != '[' && text[v] != '{';
          hits.push_back(h);
        }
      }
      i = close + 1;
    } else {
      ++i;
    }
  }
  return hits;
}

long long scalarValuePos(const std::string& text, const std::string& key) {
  const std::vector<KeyHit> hits = keyHits(text, key);
  if (hits.empty()) return -1;
  std::vector<KeyHit> top, all;
  for (const KeyHit& h : hits) {
    if (!h.scalar) continue;
    all.push_back(h);
    if (h.depth == 1) top.push_back(h);
  }
  if (top.size() == 1) return static_cast<long long>(top[0].pos);
  if (top.size() > 1) refuseAmbiguous(key, top);
  if (all.size() == 1) return static_cast<long long>(all[0].pos);
  if (all.size() > 1) refuseAmbiguous(key, all);
  return -1;
}

}  // namespace ka::manifest_key
