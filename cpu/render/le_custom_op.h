// The engine's CPU operators as ONNX Runtime custom operators: one
// definition for the three (GridSampleFast, WarpDirector, Int8ConvVNNI).
//
// A kernel class provides
//   static constexpr const char* kName;
//   static constexpr ONNXTensorElementDataType kInputTypes[];
//   static constexpr bool kOutputShapeOfInput0;  // the runtime infers output 0 as input 0
//   Kernel(const OrtApi& api, const OrtKernelInfo* info);
//   void compute(Ort::KernelContext& ctx);
// and has one float output. An exception from the constructor or from
// compute() reaches the runtime as its status, the message unchanged.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace le {

// The engine's custom domains, as a mask of those a session's options carry.
enum : unsigned { kVelmoorDomainBit = 1, kInt8DomainBit = 2 };

// Creates a session whose options carry `domains`. ONNX Runtime adds a custom
// domain to the process's schema registry when the first session naming it
// loads, by a check and then an add that two threads can race: the loser
// fails with "the domain is already exist". Sessions naming a domain not yet
// loaded are therefore created one at a time; once every domain they name
// has loaded, they load side by side.
Ort::Session openWithDomains(unsigned domains, const std::function<Ort::Session()>& make);

// "[d0,d1,...]", as the operators' refusals print shapes.
std::string shapeText(const int64_t* dims, size_t n);
inline std::string shapeText(const std::vector<int64_t>& dims) {
  return shapeText(dims.data(), dims.size());
}

// Output 0 has input 0's shape.
OrtStatusPtr sameShapeAsInput0(const OrtCustomOp* op, OrtShapeInferContext* ctx);

// fn() with what it throws turned into a runtime status.
template <class Fn>
OrtStatusPtr statusOf(Fn&& fn) noexcept {
  try {
    fn();
    return nullptr;
  } catch (const std::exception& e) {
    return Ort::GetApi().CreateStatus(ORT_RUNTIME_EXCEPTION, e.what());
  }
}

template <class Kernel>
struct CpuKernel : Kernel {
  using Kernel::Kernel;
  OrtStatusPtr ComputeV2(OrtKernelContext* context) {
    return statusOf([&] {
      Ort::KernelContext ctx(context);
      this->compute(ctx);
    });
  }
};

template <class Kernel>
struct CpuOp : Ort::CustomOpBase<CpuOp<Kernel>, CpuKernel<Kernel>, true> {
  CpuOp() {
    if (Kernel::kOutputShapeOfInput0) this->InferOutputShapeFn = sameShapeAsInput0;
  }
  OrtStatusPtr CreateKernelV2(const OrtApi& api, const OrtKernelInfo* info, void** kernel) const {
    return statusOf([&] { *kernel = new CpuKernel<Kernel>(api, info); });
  }
  const char* GetName() const { return Kernel::kName; }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  size_t GetInputTypeCount() const { return std::size(Kernel::kInputTypes); }
  ONNXTensorElementDataType GetInputType(size_t i) const { return Kernel::kInputTypes[i]; }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const {
    return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT;
  }
};

// The operator of `Kernel`, created once. Sessions keep pointers to it until
// they are destroyed, which may be during process exit: it is never freed.
template <class Kernel>
const OrtCustomOp* cpuOp() {
  static const CpuOp<Kernel>* op = new CpuOp<Kernel>();
  return op;
}

}  // namespace le
