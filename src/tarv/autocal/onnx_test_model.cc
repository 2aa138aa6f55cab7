#include "tarv/autocal/onnx_test_model.h"

#include <cstring>
#include <numeric>
#include <stdexcept>
#include <string>

namespace tarv::testing {
namespace {

// Just enough of the protobuf wire format for an ONNX ModelProto.
class Message {
 public:
  Message& varint(int field, uint64_t value) {
    key(field, 0);
    put(value);
    return *this;
  }
  Message& bytes(int field, const void* data, size_t size) {
    key(field, 2);
    put(size);
    const auto* p = static_cast<const uint8_t*>(data);
    out_.insert(out_.end(), p, p + size);
    return *this;
  }
  Message& text(int field, const std::string& s) { return bytes(field, s.data(), s.size()); }
  Message& sub(int field, const Message& m) { return bytes(field, m.out_.data(), m.out_.size()); }
  const Bytes& data() const { return out_; }

 private:
  void key(int field, int wire) { put(static_cast<uint64_t>(field) << 3 | static_cast<uint64_t>(wire)); }
  void put(uint64_t v) {
    while (v >= 0x80) {
      out_.push_back(static_cast<uint8_t>(v | 0x80));
      v >>= 7;
    }
    out_.push_back(static_cast<uint8_t>(v));
  }
  Bytes out_;
};

constexpr int kFloat = 1;
constexpr int kInt64 = 7;
constexpr int kIntAttribute = 2;

Message tensor(const std::string& name, int type, const std::vector<int64_t>& dims, const void* raw,
               size_t rawSize) {
  Message t;
  for (int64_t d : dims) t.varint(1, static_cast<uint64_t>(d));
  t.varint(2, type).text(8, name).bytes(9, raw, rawSize);
  return t;
}

Message valueInfo(const std::string& name, const std::vector<int64_t>& dims) {
  Message shape;
  for (int64_t d : dims) shape.sub(1, Message().varint(1, static_cast<uint64_t>(d)));
  Message tensorType;
  tensorType.varint(1, kFloat).sub(2, shape);
  Message type;
  type.sub(1, tensorType);
  Message info;
  info.text(1, name).sub(2, type);
  return info;
}

Message node(const std::vector<std::string>& inputs, const std::string& output, const std::string& op) {
  Message n;
  for (const auto& i : inputs) n.text(1, i);
  n.text(2, output).text(3, op + "_" + output).text(4, op);
  return n;
}

}  // namespace

Bytes constantOutputOnnx(const std::vector<int64_t>& outputShape, const std::vector<float>& values,
                         int side) {
  const int64_t count = std::accumulate(outputShape.begin(), outputShape.end(), int64_t{1},
                                        [](int64_t a, int64_t b) { return a * b; });
  if (count != static_cast<int64_t>(values.size())) throw std::invalid_argument("output size");
  // images -> GlobalAveragePool -> Flatten -> Gemm(weights 0, bias = values) -> Reshape: the
  // output follows the input through the graph but never depends on it.
  const std::vector<float> zeros(static_cast<size_t>(3 * count), 0.0f);
  Message graph;
  graph.sub(1, node({"images"}, "pooled", "GlobalAveragePool"))
      .sub(1, node({"pooled"}, "flat", "Flatten"))
      .sub(1, node({"flat", "weights", "bias"}, "scores", "Gemm")
                  .sub(5, Message().text(1, "transB").varint(3, 1).varint(20, kIntAttribute)))
      .sub(1, node({"scores", "shape"}, "output0", "Reshape"))
      .text(2, "scripted_landmarks")
      .sub(5, tensor("weights", kFloat, {count, 3}, zeros.data(), zeros.size() * sizeof(float)))
      .sub(5, tensor("bias", kFloat, {count}, values.data(), values.size() * sizeof(float)))
      .sub(5, tensor("shape", kInt64, {static_cast<int64_t>(outputShape.size())}, outputShape.data(),
                     outputShape.size() * sizeof(int64_t)))
      .sub(11, valueInfo("images", {1, 3, side, side}))
      .sub(12, valueInfo("output0", outputShape));
  Message opset;
  opset.text(1, "").varint(2, 13);
  Message model;
  model.varint(1, 7).text(2, "tarv-tests").sub(7, graph).sub(8, opset);
  return model.data();
}

}  // namespace tarv::testing
