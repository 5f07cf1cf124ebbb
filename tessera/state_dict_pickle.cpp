#include "tessera/state_dict_pickle.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "base/printable_text.h"

namespace ka::tessera {
namespace {

struct PVal {
  enum Kind { None, Bool, Int, Str, Tuple, Dict, Global, Storage, Tensor } kind = None;
  int64_t i = 0;
  int depth = 0;  // tuple nesting below this value
  std::string s;  // string, global "module name", or storage key
  std::shared_ptr<const std::vector<PVal>> tuple;
  std::shared_ptr<const PickledTensor> tensor;
};

constexpr int kMaxTupleDepth = 64;

[[noreturn]] void refuse(const std::string& m) { throw std::runtime_error(m); }

class Interpreter {
 public:
  Interpreter(const uint8_t* d, size_t n)
      : p_(d), end_(d + n), budget_(kPickleCopyBudgetPerByte * n + kPickleCopyBudgetBase) {}

  std::vector<std::pair<std::string, PickledTensor>> run() {
    for (;;) {
      const uint8_t op = byte();
      switch (op) {
        case 0x80: byte(); break;  // PROTO
        case '(': marks_.push_back(stack_.size()); break;
        case ')': pushTuple({}); break;
        case 't': pushTuple(popToMark()); break;
        case 0x85: case 0x86: case 0x87: {  // TUPLE1..3
          const size_t k = op - 0x84u;
          need(k);
          std::vector<PVal> items(std::make_move_iterator(stack_.end() - k), std::make_move_iterator(stack_.end()));
          stack_.resize(stack_.size() - k);
          pushTuple(std::move(items));
          break;
        }
        case '}': {
          PVal v;
          v.kind = PVal::Dict;
          stack_.push_back(v);
          break;
        }
        case 's': {
          need(2);
          PVal val = pop();
          PVal key = pop();
          store(key, val);
          break;
        }
        case 'u': {
          std::vector<PVal> items = popToMark();
          if (items.size() % 2) refuse("teeth: pickle SETITEMS holds an odd number of items");
          for (size_t k = 0; k < items.size(); k += 2) store(items[k], items[k + 1]);
          break;
        }
        case 'J': {
          const uint32_t u = uint32_t(le(4));
          pushInt(int64_t(int32_t(u)));
          break;
        }
        case 'K': pushInt(int64_t(le(1))); break;
        case 'M': pushInt(int64_t(le(2))); break;
        case 'N': stack_.push_back(PVal{}); break;
        case 0x88: case 0x89: {
          PVal v;
          v.kind = PVal::Bool;
          v.i = op == 0x88;
          stack_.push_back(v);
          break;
        }
        case 'X': {
          const uint64_t n = le(4);
          if (uint64_t(end_ - p_) < n) refuse("teeth: pickle truncated");
          PVal v;
          v.kind = PVal::Str;
          v.s.assign(reinterpret_cast<const char*>(p_), size_t(n));
          p_ += n;
          stack_.push_back(std::move(v));
          break;
        }
        case 'c': {
          PVal v;
          v.kind = PVal::Global;
          v.s = line() + " ";
          v.s += line();
          stack_.push_back(std::move(v));
          break;
        }
        case 'q': put(uint32_t(le(1))); break;
        case 'r': put(uint32_t(le(4))); break;
        case 'h': get(uint32_t(le(1)), "teeth: pickle BINGET out of range"); break;
        case 'j': get(uint32_t(le(4)), "teeth: pickle LONG_BINGET out of range"); break;
        case 'Q': persistentId(); break;
        case 'R': reduce(); break;
        case 'b':  // BUILD: the state it would apply to the object below is not ours to model,
          // but it is consumed: left on the stack, a state dict's metadata would pair up
          // with the next key of an enclosing dict.
          need(2);
          pop();
          break;
        case '.':
          if (state_.empty()) refuse("teeth: head .pt state_dict is empty");
          return std::move(state_);
        default: {
          char b[96];
          std::snprintf(b, sizeof b, "teeth: unsupported pickle opcode 0x%02x in head .pt", op);
          refuse(b);
        }
      }
    }
  }

 private:
  uint8_t byte() {
    if (p_ >= end_) refuse("teeth: pickle truncated");
    return *p_++;
  }
  uint64_t le(int n) {
    if (end_ - p_ < n) refuse("teeth: pickle truncated");
    uint64_t v = 0;
    for (int k = 0; k < n; ++k) v |= uint64_t(p_[k]) << (8 * k);
    p_ += n;
    return v;
  }
  std::string line() {
    const uint8_t* s = p_;
    while (p_ < end_ && *p_ != '\n') ++p_;
    if (p_ >= end_) refuse("teeth: pickle truncated");
    std::string out(reinterpret_cast<const char*>(s), size_t(p_ - s));
    ++p_;
    return out;
  }
  // Malformed pickles can pop more than they pushed; that is a refusal, not a crash.
  void need(size_t k) const {
    if (stack_.size() < k) refuse("teeth: pickle stack underflow");
  }
  PVal pop() {
    need(1);
    PVal v = std::move(stack_.back());
    stack_.pop_back();
    return v;
  }
  std::vector<PVal> popToMark() {
    if (marks_.empty()) refuse("teeth: pickle pops to a MARK it never set");
    const size_t m = marks_.back();
    marks_.pop_back();
    if (m > stack_.size()) refuse("teeth: pickle stack underflow");
    std::vector<PVal> items(std::make_move_iterator(stack_.begin() + m),
                            std::make_move_iterator(stack_.end()));
    stack_.resize(m);
    return items;
  }
  void pushTuple(std::vector<PVal> items) {
    PVal v;
    v.kind = PVal::Tuple;
    for (const PVal& e : items) v.depth = std::max(v.depth, e.depth + 1);
    // Releasing a value recurses through its tuples: a hostile chain of nested tuples
    // would overflow the stack when freed. A state dict nests three deep.
    if (v.depth > kMaxTupleDepth) refuse("teeth: pickle nests tuples too deeply");
    v.tuple = std::make_shared<const std::vector<PVal>>(std::move(items));
    stack_.push_back(std::move(v));
  }
  void pushInt(int64_t i) {
    PVal v;
    v.kind = PVal::Int;
    v.i = i;
    stack_.push_back(v);
  }
  // Tuples and tensors are shared, so a copy costs its strings and its own size.
  void charge(size_t bytes) {
    copied_ += bytes;
    if (copied_ > budget_)
      refuse("teeth: pickle copies more than " + std::to_string(budget_) +
             " bytes — refusing a pickle that multiplies its own values");
  }
  void put(uint32_t idx) {
    need(1);
    charge(sizeof(PVal) + stack_.back().s.size());
    memo_[idx] = stack_.back();
  }
  void get(uint32_t idx, const char* err) {
    const auto it = memo_.find(idx);
    if (it == memo_.end()) refuse(err);
    charge(sizeof(PVal) + it->second.s.size());
    stack_.push_back(it->second);
  }
  void store(const PVal& key, const PVal& val) {
    if (key.kind != PVal::Str || val.kind != PVal::Tensor) return;
    const PickledTensor& t = *val.tensor;
    charge(sizeof(PickledTensor) + key.s.size() + t.storage_key.size() +
           sizeof(int64_t) * (t.size.size() + t.stride.size()));
    state_.emplace_back(key.s, t);
  }
  void persistentId() {
    const PVal pid = pop();
    if (pid.kind != PVal::Tuple || pid.tuple->size() < 5 || (*pid.tuple)[0].kind != PVal::Str ||
        (*pid.tuple)[0].s != "storage")
      refuse("teeth: unexpected persistent id in head .pt");
    const PVal& type = (*pid.tuple)[1];
    const std::string tname = type.kind == PVal::Global ? type.s : std::string("?");
    if (tname != "torch FloatStorage")
      refuse("teeth: head .pt storage is " + printableText(tname) +
             ", not torch FloatStorage — refusing to reinterpret it");
    const PVal& key = (*pid.tuple)[2];
    if (key.kind != PVal::Str) refuse("teeth: unexpected persistent id in head .pt");
    charge(sizeof(PVal) + key.s.size());
    PVal v;
    v.kind = PVal::Storage;
    v.s = key.s;
    stack_.push_back(std::move(v));
  }
  static bool intTuple(const PVal& v, std::vector<int64_t>* out) {
    if (v.kind != PVal::Tuple) return false;
    for (const PVal& e : *v.tuple) {
      if (e.kind != PVal::Int) return false;
      out->push_back(e.i);
    }
    return true;
  }
  void reduce() {
    const PVal args = pop();
    const PVal fn = pop();
    const std::string name = fn.kind == PVal::Global ? fn.s : std::string("a non-global callable");
    if (name == "collections OrderedDict") {
      PVal v;
      v.kind = PVal::Dict;
      stack_.push_back(v);
      return;
    }
    if (name != "torch._utils _rebuild_tensor_v2")
      refuse("teeth: head .pt calls " + printableText(name) + " — this reader refuses code it does not model");
    auto t = std::make_shared<PickledTensor>();
    if (args.kind != PVal::Tuple || args.tuple->size() < 4 || (*args.tuple)[0].kind != PVal::Storage ||
        (*args.tuple)[1].kind != PVal::Int || (*args.tuple)[1].i < 0 ||
        !intTuple((*args.tuple)[2], &t->size) || !intTuple((*args.tuple)[3], &t->stride) ||
        t->size.size() != t->stride.size())
      refuse("teeth: malformed _rebuild_tensor_v2");
    charge(sizeof(PickledTensor) + (*args.tuple)[0].s.size() + sizeof(int64_t) * (t->size.size() + t->stride.size()));
    t->storage_key = (*args.tuple)[0].s;
    t->offset = (*args.tuple)[1].i;
    PVal v;
    v.kind = PVal::Tensor;
    v.tensor = std::move(t);
    stack_.push_back(std::move(v));
  }

  const uint8_t* p_;
  const uint8_t* end_;
  std::vector<PVal> stack_;
  std::vector<size_t> marks_;
  std::unordered_map<uint32_t, PVal> memo_;
  std::vector<std::pair<std::string, PickledTensor>> state_;
  const size_t budget_;
  size_t copied_ = 0;
};

}  // namespace

std::vector<std::pair<std::string, PickledTensor>> readStateDictPickle(const uint8_t* data,
                                                                       size_t len) {
  return Interpreter(data, len).run();
}

}  // namespace ka::tessera
