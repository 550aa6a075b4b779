// Every vector kernel and edit-distance kernel at every level, for the
// machine-code check.
#include "vexel/vector_kernels.h"

template <typename Row>
void instantiate(vexel::VectorKernel<Row>* out) {
  using vexel::VectorMetric;
  using vexel::simd::Level;
  for (Level level : {Level::portable, Level::avx2, Level::avx512}) {
    for (VectorMetric metric :
         {VectorMetric::euclidean, VectorMetric::manhattan, VectorMetric::chebyshev, VectorMetric::angular,
          VectorMetric::haversine}) {
      *out++ = vexel::vector_kernel<Row>(metric, level);
    }
  }
}

template void instantiate<double>(vexel::VectorKernel<double>*);
template void instantiate<float>(vexel::VectorKernel<float>*);

// And the edit distance of one pattern against many texts, at every level.
#include "vexel/edit_distance.h"

void measure_texts(const vexel::EditPattern<std::uint32_t>& pattern, const std::uint32_t* const* texts,
                   const std::size_t* lengths, std::size_t count, std::size_t* out) {
  pattern.distances(texts, lengths, count, 3, out);
}
