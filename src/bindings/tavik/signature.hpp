// The one declaration of a Python entry point: its kind, its name (and the
// class it belongs to), its parameters in order and its description.
//
// Everything else about the entry point follows from it: the number of
// argument slots the binder fills (the template argument N, deduced from
// the parameter list, so it cannot disagree with it), which parameters are
// required (those without a default, which must come first), the display
// name used in binding errors ("LegendreBasis.evaluate_at()"), the argument
// names the conversions report, and the docstring with its text signature
// ("evaluate_at($self, t, legendre_vals)\n--\n\n"), generated at compile time.
#pragma once

#include <array>
#include <cstddef>

namespace tavik::py {

struct Param {
    const char* name;
    const char* default_text = nullptr;  // as shown in the text signature; nullptr when required
};

enum class EntryKind { function, method, constructor };

// What the binder needs at run time, without the parameter count in the type.
struct SignatureView {
    EntryKind kind;
    const char* owner;  // class name for methods and constructors, else nullptr
    const char* name;   // "__new__" for constructors
    const Param* params;
    std::size_t n_params;
    std::size_t n_required;
};

template <std::size_t N>
struct Signature {
    EntryKind kind;
    const char* owner;
    const char* name;
    std::array<Param, N> params;
    const char* description;
    std::size_t n_required = 0;

    consteval Signature(EntryKind k, const char* owner_name, const char* entry_name, const Param (&ps)[N],
                        const char* text = "")
        : kind(k), owner(owner_name), name(entry_name), params{}, description(text) {
        bool optional_seen = false;
        for (std::size_t i = 0; i < N; ++i) {
            params[i] = ps[i];
            if (ps[i].default_text == nullptr) {
                // Not a constant expression: a required parameter after an
                // optional one fails to compile.
                if (optional_seen) throw "required parameter after an optional one";
                ++n_required;
            } else {
                optional_seen = true;
            }
        }
    }

    constexpr SignatureView view() const noexcept { return {kind, owner, name, params.data(), N, n_required}; }
};

// Module functions and methods of classes: `name` is the attribute name.
template <std::size_t N>
consteval Signature<N> function_signature(const char* name, const Param (&ps)[N], const char* text = "") {
    return Signature<N>(EntryKind::function, nullptr, name, ps, text);
}
template <std::size_t N>
consteval Signature<N> method_signature(const char* cls, const char* name, const Param (&ps)[N],
                                        const char* text = "") {
    return Signature<N>(EntryKind::method, cls, name, ps, text);
}
// The class's constructor; its docstring is the class docstring.
template <std::size_t N>
consteval Signature<N> constructor_signature(const char* cls, const Param (&ps)[N], const char* text = "") {
    return Signature<N>(EntryKind::constructor, cls, "__new__", ps, text);
}

namespace detail {

constexpr std::size_t append(char* out, std::size_t at, const char* text) {
    for (; *text != '\0'; ++text, ++at) {
        if (out != nullptr) out[at] = *text;
    }
    return at;
}

// Writes the docstring into `out` (or only measures it when `out` is null)
// and returns its length: "NAME(PARAMS)\n--\n\nDESCRIPTION", methods with
// "$self" first, constructors under the class name.
constexpr std::size_t write_docstring(const SignatureView& s, char* out) {
    std::size_t at = append(out, 0, s.kind == EntryKind::constructor ? s.owner : s.name);
    at = append(out, at, "(");
    bool first = true;
    if (s.kind == EntryKind::method) {
        at = append(out, at, "$self");
        first = false;
    }
    for (std::size_t i = 0; i < s.n_params; ++i) {
        if (!first) at = append(out, at, ", ");
        first = false;
        at = append(out, at, s.params[i].name);
        if (s.params[i].default_text != nullptr) {
            at = append(out, at, "=");
            at = append(out, at, s.params[i].default_text);
        }
    }
    return append(out, at, ")\n--\n\n");
}

}  // namespace detail

// The docstring of `sig` as a static NUL-terminated array.
template <const auto& sig>
inline constexpr auto docstring = [] {
    constexpr std::size_t head = detail::write_docstring(sig.view(), nullptr);
    constexpr std::size_t length = detail::append(nullptr, head, sig.description);
    std::array<char, length + 1> text{};
    detail::append(text.data(), detail::write_docstring(sig.view(), text.data()), sig.description);
    return text;
}();

}  // namespace tavik::py
