#include "telemetry/event_batch.h"

#include <algorithm>
#include <cstring>

#include "telemetry/json_text.h"

namespace ka::telemetry {
namespace {

uint32_t hashName(const char* p, size_t n) noexcept {
  uint32_t h = 2166136261u;  // FNV-1a
  for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(p[i])) * 16777619u;
  return h;
}

}  // namespace

EventBatch::EventBatch() : series_(kMaxNames), hasSeries_(kMaxNames, false) {
  hash_.fill(0);
}

int EventBatch::findOrAdd(const char* name, size_t nameLen) {
  for (uint32_t i = hashName(name, nameLen) % kHashSlots;; i = (i + 1) % kHashSlots) {
    const int slot = hash_[i];
    if (slot == 0) {
      if (nNames_ == kMaxNames) return -1;
      Name& n = names_[nNames_];
      std::memcpy(n.bytes.data(), name, nameLen);
      n.len = static_cast<uint8_t>(nameLen);
      hash_[i] = static_cast<int16_t>(++nNames_);
      return nNames_ - 1;
    }
    const Name& n = names_[slot - 1];
    if (n.len == nameLen && std::memcmp(n.bytes.data(), name, nameLen) == 0) return slot - 1;
  }
}

EventBatch::Put EventBatch::addNumber(const char* name, size_t nameLen, double v) {
  const int idx = findOrAdd(name, nameLen);
  ++events_;
  if (idx < 0) {
    ++droppedNames_;
    return Put::kNamesFull;
  }
  if (!series_[idx]) series_[idx] = std::make_unique<Series>();
  Series& s = *series_[idx];
  if (!hasSeries_[idx]) {
    hasSeries_[idx] = true;
    s.count = 0;
    s.sum = 0;
    s.min = s.max = v;
    s.sketch.clear();
  }
  ++s.count;
  s.sum += v;
  s.min = std::min(s.min, v);
  s.max = std::max(s.max, v);
  s.sketch.add(v);
  return Put::kOk;
}

void EventBatch::dropOldestText() noexcept {
  arenaUsed_ -= texts_[textFirst_].len;
  textFirst_ = (textFirst_ + 1) % kMaxTextEvents;
  --textCount_;
  ++droppedTexts_;
}

EventBatch::Put EventBatch::addText(const char* name, size_t nameLen, const char* text,
                                    size_t textLen, int64_t unixMs) {
  const int idx = findOrAdd(name, nameLen);
  ++events_;
  if (idx < 0) {
    ++droppedNames_;
    return Put::kNamesFull;
  }
  if (arena_.empty()) {
    arena_.resize(kTextArenaBytes);
    texts_.resize(kMaxTextEvents);
  }
  const size_t keep = textLen > kMaxTextBytes ? utf8CutPoint(text, kMaxTextBytes) : textLen;
  while (textCount_ > 0 && (textCount_ == kMaxTextEvents || kTextArenaBytes - arenaUsed_ < keep))
    dropOldestText();
  // The arena is a byte ring: a text may wrap around its end.
  const size_t first = std::min(keep, kTextArenaBytes - arenaWrite_);
  std::memcpy(arena_.data() + arenaWrite_, text, first);
  std::memcpy(arena_.data(), text + first, keep - first);
  texts_[(textFirst_ + textCount_) % kMaxTextEvents] =
      Text{idx, unixMs, arenaWrite_, keep, textLen - keep};
  ++textCount_;
  arenaUsed_ += keep;
  arenaWrite_ = (arenaWrite_ + keep) % kTextArenaBytes;
  return Put::kOk;
}

void EventBatch::clear() noexcept {
  hash_.fill(0);
  std::fill(hasSeries_.begin(), hasSeries_.end(), false);
  nNames_ = 0;
  textFirst_ = textCount_ = arenaUsed_ = arenaWrite_ = 0;
  events_ = droppedTexts_ = droppedNames_ = 0;
  id_ = 0;
  startMs_ = endMs_ = 0;
}

void EventBatch::appendJson(std::string& out) const {
  out += ",\"batch\":{\"id\":";
  out += std::to_string(id_);
  out += ",\"start_unix_ms\":";
  out += std::to_string(startMs_);
  out += ",\"end_unix_ms\":";
  out += std::to_string(endMs_);
  out += ",\"events\":";
  out += std::to_string(events_);
  out += ",\"dropped_texts\":";
  out += std::to_string(droppedTexts_);
  out += ",\"dropped_names\":";
  out += std::to_string(droppedNames_);
  out += "}";

  // An array, not an object keyed by name: two names that differ only in invalid
  // UTF-8 bytes print the same, and a JSON object must not repeat a key.
  out += ",\"metrics\":[";
  bool firstItem = true;
  for (int i = 0; i < nNames_; ++i) {
    if (!hasSeries_[i]) continue;
    const Series& s = *series_[i];
    if (!firstItem) out += ',';
    firstItem = false;
    out += "{\"name\":";
    appendJsonString(out, names_[i].bytes.data(), names_[i].len);
    out += ",\"count\":";
    out += std::to_string(s.count);
    out += ",\"sum\":";
    appendJsonNumber(out, s.sum);
    out += ",\"min\":";
    appendJsonNumber(out, s.min);
    out += ",\"max\":";
    appendJsonNumber(out, s.max);
    out += ",\"mean\":";
    appendJsonNumber(out, s.sum / static_cast<double>(s.count));
    for (const auto& [key, q] : {std::pair{",\"p50\":", 0.5}, {",\"p90\":", 0.9}, {",\"p99\":", 0.99}}) {
      out += key;
      // Clamped to the exact extremes, which the sketch's buckets can only approximate.
      appendJsonNumber(out, std::clamp(s.sketch.quantile(q), s.min, s.max));
    }
    out += '}';
  }
  out += "],\"texts\":[";
  for (size_t k = 0; k < textCount_; ++k) {
    const Text& t = texts_[(textFirst_ + k) % kMaxTextEvents];
    if (k > 0) out += ',';
    out += "{\"name\":";
    appendJsonString(out, names_[t.name].bytes.data(), names_[t.name].len);
    out += ",\"unix_ms\":";
    out += std::to_string(t.unixMs);
    out += ",\"text\":";
    if (t.offset + t.len <= kTextArenaBytes) {
      appendJsonString(out, arena_.data() + t.offset, t.len);
    } else {
      std::string joined(arena_.data() + t.offset, kTextArenaBytes - t.offset);
      joined.append(arena_.data(), t.len - joined.size());
      appendJsonString(out, joined.data(), joined.size());
    }
    if (t.cutBytes > 0) {
      out += ",\"cut_bytes\":";
      out += std::to_string(t.cutBytes);
    }
    out += '}';
  }
  out += ']';
}

}  // namespace ka::telemetry
