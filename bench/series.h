// A figure taken once per round, and its summary: the median with the spread
// (lowest and highest) over the rounds.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace kxbench {

class Series {
  public:
    void Add(double value) { values_.push_back(value); }
    bool Empty() const { return values_.empty(); }
    size_t Size() const { return values_.size(); }
    double At(size_t i) const { return values_[i]; }
    double Median() const {
        std::vector<double> v = values_;
        std::sort(v.begin(), v.end());
        size_t n = v.size();
        return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    }
    double Min() const {
        return values_.empty() ? 0 : *std::min_element(values_.begin(), values_.end());
    }
    double Max() const {
        return values_.empty() ? 0 : *std::max_element(values_.begin(), values_.end());
    }
    // "median [min-max]" with the given printf precision, scaled by factor.
    std::string Text(int precision, double factor = 1) const {
        if (values_.empty())
            return "-";
        char text[96];
        snprintf(text, sizeof text, "%.*f [%.*f-%.*f]", precision, Median() * factor, precision,
                 Min() * factor, precision, Max() * factor);
        return text;
    }
    // The round-by-round quotient of two series taken in the same rounds.
    static Series Ratio(const Series &a, const Series &b) {
        Series r;
        for (size_t i = 0; i < a.Size() && i < b.Size(); ++i)
            if (b.At(i) > 0)
                r.Add(a.At(i) / b.At(i));
        return r;
    }
    // How many values are at most (or at least) the limit.
    size_t CountAtMost(double limit) const {
        return static_cast<size_t>(
            std::count_if(values_.begin(), values_.end(), [&](double v) { return v <= limit; }));
    }
    size_t CountAtLeast(double limit) const {
        return static_cast<size_t>(
            std::count_if(values_.begin(), values_.end(), [&](double v) { return v >= limit; }));
    }

  private:
    std::vector<double> values_;
};

} // namespace kxbench
