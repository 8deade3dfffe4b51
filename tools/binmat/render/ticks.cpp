#include "ticks.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace plot {

namespace {

// "−" (U+2212), which sets as wide as a digit, in place of the hyphen.
std::string with_minus_sign(std::string text) {
    if (!text.empty() && text.front() == '-') {
        text.replace(0, 1, "\u2212");
    }
    return text;
}

std::string formatted(const char *format, int precision, double v) {
    char text[64];
    std::snprintf(text, sizeof text, format, precision, v);
    return text;
}

// A number as a label shows it: the shortest form that keeps `significant` digits.
std::string number_label(double v, int significant) {
    return with_minus_sign(formatted("%.*g", std::max(1, significant), v));
}

} // namespace

std::vector<tick> round_ticks(double low, double high, int most) {
    std::vector<tick> ticks;
    if (!(low < high) || !std::isfinite(high - low) || most < 1) {
        return ticks;
    }
    const double rough = (high - low) / most;
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    double step = 10 * power;
    for (const double m : {1.0, 2.0, 5.0}) {
        if (m * power >= rough) {
            step = m * power;
            break;
        }
    }
    // Ends that are multiples of the step get their ticks despite rounding in the division.
    const double first = std::ceil(low / step - 1e-9);
    const double last = std::floor(high / step + 1e-9);
    const double largest = std::max(std::abs(first), std::abs(last)) * step;
    // Fixed decimals read best while the numbers stay short; beyond that, exponents.
    const int decimals = std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9)));
    const bool fixed = largest < 1e6 && decimals <= 5;
    const int significant =
        static_cast<int>(std::floor(std::log10(std::max(largest, step)) + 1e-9) -
                         std::floor(std::log10(step) + 1e-9)) +
        1;
    const auto count = static_cast<int>(last - first) + 1; // about `most`, by the step's choice
    for (int i = 0; i < count; ++i) {
        const double k = first + i;
        // k * step rather than a running sum, so that no error builds up; zero is exact.
        const double at = k == 0 ? 0.0 : k * step;
        ticks.push_back({at, fixed ? with_minus_sign(formatted("%.*f", decimals, at))
                                   : number_label(at, significant)});
    }
    return ticks;
}

std::vector<tick> log_ticks(double low, double high, int most) {
    std::vector<tick> ticks;
    if (!(low > 0 && low < high) || !std::isfinite(high) || most < 1) {
        return ticks;
    }
    // Fixed decimals for numbers of a few digits, and an exponent beyond.
    const auto label = [](double v) {
        const int power = static_cast<int>(std::floor(std::log10(v) + 1e-9));
        return v >= 1e-4 && v < 1e6 ? formatted("%.*f", std::max(0, -power), v)
                                    : formatted("%.*e", 0, v);
    };
    const auto first = static_cast<int>(std::ceil(std::log10(low) - 1e-9));
    const auto last = static_cast<int>(std::floor(std::log10(high) + 1e-9));
    if (last > first) {
        const int every = std::max(1, (last - first + most) / most);
        for (int k = first; k <= last; k += every) {
            const double at = std::pow(10.0, k);
            ticks.push_back({at, label(at)});
        }
        return ticks;
    }
    for (int k = first - 1; k <= last; ++k) {
        for (const double m : {1.0, 2.0, 5.0}) {
            const double at = m * std::pow(10.0, k);
            if (at >= low * (1 - 1e-9) && at <= high * (1 + 1e-9)) {
                ticks.push_back({at, label(at)});
            }
        }
    }
    if (ticks.size() < 2 || static_cast<int>(ticks.size()) > most) {
        return round_ticks(low, high, most);
    }
    return ticks;
}

} // namespace plot
