#include "render/le_custom_op.h"

namespace le {

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
