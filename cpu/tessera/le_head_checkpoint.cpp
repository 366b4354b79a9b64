#include "tessera/le_head_checkpoint.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace le {
namespace tessera {
namespace {

[[noreturn]] void fail(const std::string& msg) {
  throw std::runtime_error(msg);
}

uint16_t rd16(const uint8_t* p) {
  return uint16_t(p[0] | (p[1] << 8));
}
uint32_t rd32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// ---------------------------------------------------------------------------
// ZIP directory. Checkpoints are written with stored entries only; every
// offset and length comes from the file and is range-checked before use.

struct ZipEntry {
  std::string name;
  uint64_t offset = 0;  // first data byte
  uint64_t size = 0;
};

std::vector<ZipEntry> zipDirectory(const uint8_t* d, uint64_t n) {
  if (n < 22) fail("teeth: head .pt is not a zip");
  // The end record sits at size - 22 unless the archive carries a comment.
  uint64_t eocd = n - 22;
  while (rd32(d + eocd) != 0x06054b50u) {
    if (eocd == 0) fail("teeth: head .pt has no zip EOCD");
    --eocd;
  }
  const unsigned count = rd16(d + eocd + 10);
  uint64_t off = rd32(d + eocd + 16);

  std::vector<ZipEntry> entries;
  entries.reserve(count);
  for (unsigned i = 0; i < count; ++i) {
    if (off > n || n - off < 46 || rd32(d + off) != 0x02014b50u)
      fail("teeth: head .pt central directory is malformed");
    const uint8_t* h = d + off;
    if (rd16(h + 10) != 0)
      fail(
          "teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED"
          " \xE2\x80\x94"
          " refusing to guess at a compressed member");
    const uint64_t csize = rd32(h + 20), usize = rd32(h + 24);
    const uint64_t nameLen = rd16(h + 28), extraLen = rd16(h + 30), commentLen = rd16(h + 32);
    const uint64_t local = rd32(h + 42);
    if (n - off - 46 < nameLen) fail("teeth: head .pt central directory is malformed");
    ZipEntry e;
    e.name.assign(reinterpret_cast<const char*>(h + 46), size_t(nameLen));

    if (local > n || n - local < 30) fail("teeth: head .pt local header out of range");
    e.offset = local + 30 + rd16(d + local + 26) + rd16(d + local + 28);
    e.size = usize != 0 ? usize : csize;
    if (e.offset > n || e.size > n - e.offset) fail("teeth: head .pt entry out of range");
    entries.push_back(std::move(e));
    off += 46 + nameLen + extraLen + commentLen;
  }
  return entries;
}

// ---------------------------------------------------------------------------
// Pickle machine: exactly the opcodes a protocol-2 state dictionary of float
// tensors uses. Values are immutable and shared, so memo gets and tuples
// cost the same however large their contents.

struct PVal;
using PRef = std::shared_ptr<const PVal>;

struct PVal {
  enum class Kind { None, Bool, Int, Str, Tuple, Dict, Global, Storage, Tensor };
  Kind kind = Kind::None;
  int64_t i = 0;                       // Bool and Int value; Tensor element offset
  std::string s;                       // Str text; Global "module name"; storage key
  std::vector<PRef> items;             // Tuple
  std::vector<int64_t> shape, stride;  // Tensor
  int depth = 0;                       // tuple nesting
};

const char* kindName(PVal::Kind k) {
  switch (k) {
    case PVal::Kind::None:
      return "none";
    case PVal::Kind::Bool:
      return "bool";
    case PVal::Kind::Int:
      return "integer";
    case PVal::Kind::Str:
      return "string";
    case PVal::Kind::Tuple:
      return "tuple";
    case PVal::Kind::Dict:
      return "dictionary";
    case PVal::Kind::Global:
      return "global";
    case PVal::Kind::Storage:
      return "storage";
    case PVal::Kind::Tensor:
      return "tensor";
  }
  return "?";
}

struct StateEntry {
  std::string name;
  PRef tensor;
};

// Nesting a state dictionary never comes near; bounds the recursion that
// releasing a value tree takes.
constexpr int kMaxNesting = 64;
constexpr uint64_t kMaxPickleBytes = 1u << 20;

[[noreturn]] void malformed(const std::string& what) {
  fail("teeth: head .pt pickle is malformed (" + what + ")");
}

class Unpickler {
 public:
  Unpickler(const uint8_t* p, uint64_t n) : p_(p), end_(p + n) {}
  std::vector<StateEntry> run();

 private:
  const uint8_t* take(uint64_t n) {
    if (uint64_t(end_ - p_) < n) fail("teeth: pickle truncated");
    const uint8_t* r = p_;
    p_ += n;
    return r;
  }
  std::string line() {
    const void* lf = std::memchr(p_, '\n', size_t(end_ - p_));
    if (!lf) fail("teeth: pickle truncated");
    const uint8_t* e = static_cast<const uint8_t*>(lf);
    std::string s(reinterpret_cast<const char*>(p_), size_t(e - p_));
    p_ = e + 1;
    return s;
  }
  static PRef make(PVal::Kind k, int64_t i = 0, std::string s = {}) {
    auto v = std::make_shared<PVal>();
    v->kind = k;
    v->i = i;
    v->s = std::move(s);
    return v;
  }
  static PRef tuple(std::vector<PRef> items) {
    auto v = std::make_shared<PVal>();
    v->kind = PVal::Kind::Tuple;
    int depth = 0;
    for (const PRef& x : items) depth = std::max(depth, x->depth);
    v->depth = depth + 1;
    if (v->depth > kMaxNesting)
      fail("teeth: head .pt pickle nests tuples deeper than " + std::to_string(kMaxNesting) +
           " levels \xE2\x80\x94 refusing");
    v->items = std::move(items);
    return v;
  }
  PRef pop() {
    if (stack_.empty()) malformed("stack underflow");
    PRef v = std::move(stack_.back());
    stack_.pop_back();
    return v;
  }
  size_t popMark() {
    if (marks_.empty()) malformed("no MARK to pop back to");
    const size_t m = marks_.back();
    marks_.pop_back();
    if (m > stack_.size()) malformed("stack underflow");
    return m;
  }
  // A pickler numbers its memo entries from 0 as it stores objects, so an
  // index can never exceed the opcodes read so far. Refusing larger ones
  // keeps a corrupt index from sizing the memo to gigabytes.
  void memoPut(uint64_t idx, const char* op) {
    if (stack_.empty()) malformed(std::string(op) + " on an empty stack");
    if (idx >= ops_)
      fail("teeth: pickle " + std::string(op) + " index " + std::to_string(idx) +
           " is past anything the pickle could have stored \xE2\x80\x94 refusing a corrupt "
           "head .pt");
    if (idx >= memo_.size()) memo_.resize(size_t(idx) + 1);
    memo_[size_t(idx)] = stack_.back();
  }
  PRef memoGet(uint64_t idx, const char* outOfRange) {
    if (idx >= memo_.size() || !memo_[size_t(idx)]) fail(outOfRange);
    return memo_[size_t(idx)];
  }
  PRef persistent(const PRef& pid);
  PRef reduce(const PRef& callable, const PRef& args);

  // The opcodes by group, each executing one opcode of its group and
  // returning false for any other: literals and globals, MARK and tuples,
  // the memo, and the ones that consume values (items, ids, calls, state).
  bool pushValue(uint8_t op);
  bool buildTuple(uint8_t op);
  bool useMemo(uint8_t op);
  bool apply(uint8_t op);

  const uint8_t* p_;
  const uint8_t* end_;
  std::vector<PRef> stack_;
  std::vector<size_t> marks_;
  std::vector<PRef> memo_;
  uint64_t ops_ = 0;
  std::vector<StateEntry> state_;
};

PRef Unpickler::persistent(const PRef& pid) {
  using K = PVal::Kind;
  if (pid->kind != K::Tuple || pid->items.size() < 3 || pid->items[0]->kind != K::Str ||
      pid->items[0]->s != "storage" || pid->items[1]->kind != K::Global ||
      pid->items[2]->kind != K::Str)
    fail("teeth: unexpected persistent id in head .pt");
  const std::string& type = pid->items[1]->s;
  if (type != "torch FloatStorage")
    fail("teeth: head .pt storage is " + type +
         ", not torch FloatStorage"
         " \xE2\x80\x94"
         " refusing to reinterpret it");
  return make(K::Storage, 0, pid->items[2]->s);
}

PRef Unpickler::reduce(const PRef& callable, const PRef& args) {
  using K = PVal::Kind;
  if (callable->kind != K::Global)
    fail(std::string("teeth: head .pt calls a ") + kindName(callable->kind) +
         " value"
         " \xE2\x80\x94"
         " this reader refuses code it does not model");
  const std::string& name = callable->s;
  if (name == "collections OrderedDict") return make(K::Dict);
  if (name == "torch._utils _rebuild_tensor_v2") {
    auto intTuple = [](const PRef& v, std::vector<int64_t>& out) {
      if (v->kind != K::Tuple) return false;
      for (const PRef& x : v->items) {
        if (x->kind != K::Int) return false;
        out.push_back(x->i);
      }
      return true;
    };
    auto t = std::make_shared<PVal>();
    t->kind = K::Tensor;
    // A negative element offset is as malformed as a missing argument.
    if (args->kind != K::Tuple || args->items.size() < 4 || args->items[0]->kind != K::Storage ||
        args->items[1]->kind != K::Int || args->items[1]->i < 0 ||
        !intTuple(args->items[2], t->shape) || !intTuple(args->items[3], t->stride))
      fail("teeth: malformed _rebuild_tensor_v2");
    t->s = args->items[0]->s;
    t->i = args->items[1]->i;
    return t;
  }
  fail("teeth: head .pt calls " + name +
       " \xE2\x80\x94"
       " this reader refuses code it does not model");
}

std::vector<StateEntry> Unpickler::run() {
  for (;;) {
    const uint8_t op = *take(1);
    ++ops_;
    if (op == '.') return std::move(state_);  // STOP
    if (pushValue(op) || buildTuple(op) || useMemo(op) || apply(op)) continue;
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", unsigned(op));
    fail(std::string("teeth: unsupported pickle opcode 0x") + hex + " in head .pt");
  }
}

bool Unpickler::pushValue(uint8_t op) {
  using K = PVal::Kind;
  switch (op) {
    case 0x80:  // PROTO: the version byte changes nothing here
      take(1);
      return true;
    case ')':
      stack_.push_back(tuple({}));
      return true;
    case '}':
      stack_.push_back(make(K::Dict));
      return true;
    case 'N':
      stack_.push_back(make(K::None));
      return true;
    case 0x88:
      stack_.push_back(make(K::Bool, 1));
      return true;
    case 0x89:
      stack_.push_back(make(K::Bool, 0));
      return true;
    case 'J':
      stack_.push_back(make(K::Int, int32_t(rd32(take(4)))));
      return true;
    case 'K':
      stack_.push_back(make(K::Int, *take(1)));
      return true;
    case 'M':
      stack_.push_back(make(K::Int, rd16(take(2))));
      return true;
    case 'X': {
      const uint32_t len = rd32(take(4));
      const uint8_t* b = take(len);  // checked against what remains before any copy
      stack_.push_back(make(K::Str, 0, std::string(reinterpret_cast<const char*>(b), len)));
      return true;
    }
    case 'c': {
      std::string module = line();
      std::string name = line();
      stack_.push_back(make(K::Global, 0, module + " " + name));
      return true;
    }
  }
  return false;
}

bool Unpickler::buildTuple(uint8_t op) {
  switch (op) {
    case '(':
      marks_.push_back(stack_.size());
      return true;
    case 't': {
      const size_t m = popMark();
      std::vector<PRef> items(stack_.begin() + std::ptrdiff_t(m), stack_.end());
      stack_.resize(m);
      stack_.push_back(tuple(std::move(items)));
      return true;
    }
    case 0x85:
    case 0x86:
    case 0x87: {
      const size_t k = size_t(op - 0x84);
      if (stack_.size() < k) malformed("stack underflow");
      std::vector<PRef> items(stack_.end() - std::ptrdiff_t(k), stack_.end());
      stack_.resize(stack_.size() - k);
      stack_.push_back(tuple(std::move(items)));
      return true;
    }
  }
  return false;
}

bool Unpickler::useMemo(uint8_t op) {
  switch (op) {
    case 'q':
      memoPut(*take(1), "BINPUT");
      return true;
    case 'r':
      memoPut(rd32(take(4)), "LONG_BINPUT");
      return true;
    case 'h':
      stack_.push_back(memoGet(*take(1), "teeth: pickle BINGET out of range"));
      return true;
    case 'j':
      stack_.push_back(memoGet(rd32(take(4)), "teeth: pickle LONG_BINGET out of range"));
      return true;
  }
  return false;
}

bool Unpickler::apply(uint8_t op) {
  using K = PVal::Kind;
  switch (op) {
    case 's':
      pop();
      pop();
      return true;
    case 'u': {
      // Dictionaries are never filled: the reader only collects tensors by name.
      const size_t m = popMark();
      if ((stack_.size() - m) % 2 != 0) malformed("SETITEMS with an unpaired key");
      for (size_t j = m; j < stack_.size(); j += 2)
        if (stack_[j]->kind == K::Str && stack_[j + 1]->kind == K::Tensor)
          state_.push_back({stack_[j]->s, stack_[j + 1]});
      stack_.resize(m);
      return true;
    }
    case 'Q': {
      const PRef pid = pop();
      stack_.push_back(persistent(pid));
      return true;
    }
    case 'R': {
      const PRef args = pop();
      const PRef callable = pop();
      stack_.push_back(reduce(callable, args));
      return true;
    }
    case 'b':  // BUILD: object state is of no interest here
      return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// Tensors of the head.

struct Required {
  const char* name;
  std::vector<int64_t> shape;
  std::vector<float> HeadWeights::*field;
};

const std::vector<Required>& candTensors() {
  static const std::vector<Required> k = {
      {"cand.0.weight", {16, 7, 3, 3}, &HeadWeights::cand0_weight},
      {"cand.0.bias", {16}, &HeadWeights::cand0_bias},
      {"cand.2.weight", {16, 16, 3, 3}, &HeadWeights::cand2_weight},
      {"cand.2.bias", {16}, &HeadWeights::cand2_bias},
      {"cand.4.weight", {1, 16, 3, 3}, &HeadWeights::cand4_weight},
      {"cand.4.bias", {1}, &HeadWeights::cand4_bias},
  };
  return k;
}

const std::vector<Required>& synTensors() {
  static const std::vector<Required> k = {
      {"syn.0.weight", {16, 3, 3, 3}, &HeadWeights::syn0_weight},
      {"syn.0.bias", {16}, &HeadWeights::syn0_bias},
      {"syn.2.weight", {1, 16, 3, 3}, &HeadWeights::syn2_weight},
      {"syn.2.bias", {1}, &HeadWeights::syn2_bias},
  };
  return k;
}

bool endsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

void loadTensor(const Required& r, const std::vector<StateEntry>& state,
                const std::vector<ZipEntry>& entries, const std::string& prefix,
                const uint8_t* data, HeadWeights& w) {
  int count = 0;
  const StateEntry* hit = nullptr;
  for (const StateEntry& s : state) {
    if (s.name == r.name) {
      ++count;
      hit = &s;
    }
  }
  if (count > 1)
    fail(std::string("teeth: head .pt names '") + r.name + "' " + std::to_string(count) +
         " times \xE2\x80\x94 ambiguous");
  if (count == 0) fail(std::string("teeth: head .pt lacks '") + r.name + "'");
  const PVal& t = *hit->tensor;
  if (t.shape != r.shape) {
    std::string dims;
    for (size_t i = 0; i < t.shape.size(); ++i) dims += (i ? "," : "") + std::to_string(t.shape[i]);
    fail(std::string("teeth: head '") + r.name + "' has shape [" + dims +
         "] \xE2\x80\x94 not the BlendHead(16) arch");
  }
  const std::string entryName = prefix + "/data/" + t.s;
  const ZipEntry* storage = nullptr;
  for (const ZipEntry& e : entries)
    if (e.name == entryName) storage = &e;
  if (!storage) fail("teeth: head storage " + t.s + " missing");
  uint64_t elements = 1;
  for (int64_t d : r.shape) elements *= uint64_t(d);
  const uint64_t floats = storage->size / 4;
  if (uint64_t(t.i) > floats || floats - uint64_t(t.i) < elements)
    fail("teeth: head storage " + t.s + " too small");
  // Contiguous from the element offset; strides are not consulted.
  std::vector<float>& out = w.*(r.field);
  out.resize(size_t(elements));
  const uint8_t* src = data + storage->offset + uint64_t(t.i) * 4;
  for (size_t i = 0; i < out.size(); ++i) {
    const uint32_t bits = rd32(src + 4 * i);
    std::memcpy(&out[i], &bits, 4);
  }
}

}  // namespace

int HeadWeights::params() const {
  return int(cand0_weight.size() + cand0_bias.size() + cand2_weight.size() + cand2_bias.size() +
             cand4_weight.size() + cand4_bias.size() + syn0_weight.size() + syn0_bias.size() +
             syn2_weight.size() + syn2_bias.size());
}

HeadWeights loadHeadPt(const uint8_t* data, size_t size) {
  if (!data) size = 0;
  const std::vector<ZipEntry> entries = zipDirectory(data, size);

  const ZipEntry* pkl = nullptr;
  for (const ZipEntry& e : entries)
    if (endsWith(e.name, "/data.pkl")) pkl = &e;
  if (!pkl) fail("teeth: head .pt has no data.pkl");
  // The head's state dictionary pickles to a few kilobytes. Every opcode
  // can cost the reader a small allocation, so a pickle far beyond that is
  // refused up front instead of being allowed to claim gigabytes.
  if (pkl->size > kMaxPickleBytes)
    fail("teeth: head .pt " + pkl->name + " is " + std::to_string(pkl->size) +
         " bytes, far beyond a blend head's state dictionary \xE2\x80\x94 refusing");
  const std::string prefix = pkl->name.substr(0, pkl->name.size() - 9);

  const std::vector<StateEntry> state = Unpickler(data + pkl->offset, pkl->size).run();
  if (state.empty()) fail("teeth: head .pt state_dict is empty");

  HeadWeights w;
  for (const Required& r : candTensors()) loadTensor(r, state, entries, prefix, data, w);
  bool anySyn = false;
  for (const Required& r : synTensors())
    for (const StateEntry& s : state) anySyn = anySyn || s.name == r.name;
  if (anySyn)
    for (const Required& r : synTensors()) loadTensor(r, state, entries, prefix, data, w);

  const int params = w.params();
  if (params != 4082 && params != 3489)
    fail("teeth: head has " + std::to_string(params) +
         " params, not the 4,082 of BlendHead(16) nor the 3,489 of BlendHead8(16)");
  return w;
}

HeadWeights loadHeadPt(const std::vector<uint8_t>& bytes) {
  return loadHeadPt(bytes.data(), bytes.size());
}

}  // namespace tessera
}  // namespace le
