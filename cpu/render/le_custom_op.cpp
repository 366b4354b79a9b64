#include "render/le_custom_op.h"

#include <atomic>
#include <mutex>

namespace le {

Ort::Session openWithDomains(unsigned domains, const std::function<Ort::Session()>& make) {
  static std::mutex loading;
  static std::atomic<unsigned> loaded{0};
  if ((loaded.load(std::memory_order_acquire) & domains) == domains) return make();
  std::lock_guard<std::mutex> lk(loading);
  Ort::Session s = make();
  loaded.fetch_or(domains, std::memory_order_release);
  return s;
}

std::string shapeText(const int64_t* dims, size_t n) {
  std::string t = "[";
  for (size_t i = 0; i < n; ++i) t += (i ? "," : "") + std::to_string(dims[i]);
  return t + "]";
}

// Written against the C interface: the C++ helper for this leaks inside the
// runtime when a dimension is symbolic.
OrtStatusPtr sameShapeAsInput0(const OrtCustomOp*, OrtShapeInferContext* ctx) {
  const OrtApi& api = Ort::GetApi();
  OrtTensorTypeAndShapeInfo* info = nullptr;  // owned by the context
  if (OrtStatusPtr st = api.ShapeInferContext_GetInputTypeShape(ctx, 0, &info)) return st;
  return api.ShapeInferContext_SetOutputTypeShape(ctx, 0, info);
}

}  // namespace le
