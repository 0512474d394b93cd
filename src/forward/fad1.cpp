#include "forward/fad1.h"

namespace veltn {

fad1<Vec> fad1<Vec>::operator[](std::valarray<bool> const& mask) const {
    std::size_t t = 0;
    for (std::size_t i = 0; i < mask.size(); ++i) t += mask[i] ? 1 : 0;
    Vec selected(t);
    for (std::size_t i = 0, j = 0; i < mask.size(); ++i)
        if (mask[i]) selected[j++] = value[i];

    fad1<Vec> r(selected, static_cast<unsigned>(tangents.size()));
    for (std::size_t d = 0; d < tangents.size(); ++d) {
        Vec const& src = tangents[d];
        Vec& dst = r.tangents[d];
        for (std::size_t i = 0, j = 0; i < mask.size(); ++i)
            if (mask[i]) dst[j++] = src[i];
    }
    return r;
}

fad1<Mat>& fad1<Mat>::operator=(fad1<Vec> const& v) {
    value.data = v.value;
    if (tangents.size() != v.tangents.size()) tangents = std::valarray<Mat>(Mat(), v.tangents.size());
    for (std::size_t d = 0; d < v.tangents.size(); ++d) {
        tangents[d].data = v.tangents[d];
        tangents[d].rows = value.rows;
        tangents[d].cols = value.cols;
    }
    return *this;
}

fad1<Mat> asMatrix(fad1<Vec> const& v, std::size_t rows, std::size_t cols) {
    fad1<Mat> m;
    m.value.data = v.value;
    m.value.rows = rows;
    m.value.cols = cols;
    m.tangents = std::valarray<Mat>(Mat(), v.tangents.size());
    for (std::size_t d = 0; d < v.tangents.size(); ++d) {
        m.tangents[d].data = v.tangents[d];
        m.tangents[d].rows = rows;
        m.tangents[d].cols = cols;
    }
    return m;
}

fad1<Vec> asVector(fad1<Mat> const& m) {
    fad1<Vec> v;
    v.value = m.value.data;
    v.tangents = std::valarray<Vec>(Vec(), m.tangents.size());
    for (std::size_t d = 0; d < m.tangents.size(); ++d) v.tangents[d] = m.tangents[d].data;
    return v;
}

}  // namespace veltn
