// The buffer-of-doubles conversion: times handed over as any buffer exporter.
#pragma once

#include <Python.h>

#include <optional>
#include <span>

#include "bindings/tavik/bind.hpp"
#include "bindings/tavik/scratch.hpp"

namespace tavik::py {

// Native float64 items of any buffer exporter, copied into one flat array in
// row-major order. The view stays acquired as long as this object lives;
// destroy it with the interpreter lock held.
class DoubleBufferCopy {
public:
    explicit DoubleBufferCopy(Arg arg);
    ~DoubleBufferCopy();
    DoubleBufferCopy(const DoubleBufferCopy&) = delete;
    DoubleBufferCopy& operator=(const DoubleBufferCopy&) = delete;

    std::span<const double> values() const noexcept { return values_->span(); }

private:
    Py_buffer view_{};
    bool acquired_ = false;
    std::optional<ScratchDoubles> values_;  // not zeroed first: the copy fills every element
};

}  // namespace tavik::py
