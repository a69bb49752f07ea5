// PyFeatureArrays: 38 parallel columns, each read as a new list.
#include "classes.hpp"
#include "number_format.hpp"

#include <cstdio>
#include <iterator>

namespace tamrel::py {

namespace {

Ref column_to_py(const std::vector<std::vector<float>>& column) {
    return list_of(column, [](const std::vector<float>& row) { return list_of(row); });
}

template <class T>
Ref column_to_py(const std::vector<T>& column) {
    return list_of(column);
}

#define TAMREL_GETTER(type, name)                                  \
    PyObject* PyFeatureArrays_get_##name(PyObject* self, void*) {  \
        return guarded([&] {                                       \
            auto self_ = read_self<FeatureColumns>(self);          \
            return column_to_py(self_->name);                      \
        });                                                        \
    }
TAMREL_FEATURE_COLUMNS(TAMREL_GETTER)
#undef TAMREL_GETTER

PyGetSetDef PyFeatureArrays_getset[] = {
#define TAMREL_GETSET(type, name) {#name, PyFeatureArrays_get_##name, nullptr, "", nullptr},
    TAMREL_FEATURE_COLUMNS(TAMREL_GETSET)
#undef TAMREL_GETSET
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

constexpr const char* kColumnNames[] = {
#define TAMREL_NAME(type, name) #name,
    TAMREL_FEATURE_COLUMNS(TAMREL_NAME)
#undef TAMREL_NAME
};

template <class T>
void append_moved(std::vector<T>& to, std::vector<T>& from) {
    to.reserve(to.size() + from.size());
    to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

// The writer borrow of self is taken before `other` is read, so
// `a.extend(a)` fails on the reader borrow and changes nothing.
PyObject* PyFeatureArrays_extend(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static constexpr Param params[] = {{"other"}};
        Args a("PyFeatureArrays.extend", params, args, kwargs);
        auto* inst = reinterpret_cast<Instance<FeatureColumns>*>(self);
        WriteBorrow guard(inst->borrow);
        FeatureColumns other = arg<FeatureColumns>(a, 0);
#define TAMREL_APPEND(type, name) append_moved(inst->value.name, other.name);
        TAMREL_FEATURE_COLUMNS(TAMREL_APPEND)
#undef TAMREL_APPEND
        return Ref::borrow(Py_None);
    });
}

// The fixed column list: it does not depend on the values stored.
PyObject* PyFeatureArrays_get_column_names(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        Args a("PyFeatureArrays.get_column_names", {}, args, kwargs);
        auto self_ = read_self<FeatureColumns>(self);
        Ref list = Ref::checked(PyList_New(std::size(kColumnNames)));
        for (std::size_t i = 0; i < std::size(kColumnNames); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Ref::checked(PyUnicode_FromString(kColumnNames[i])).release());
        }
        return list;
    });
}

// A double-quoted string with quotes, backslashes and control characters escaped.
std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        char hex[16];
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    std::snprintf(hex, sizeof hex, "\\u{%x}", c);
                    out += hex;
                } else if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) < 0xA0) {
                    // U+0080..U+009F, the C1 controls (the text is valid UTF-8)
                    std::snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned char>(s[i + 1]));
                    out += hex;
                    ++i;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

template <class T, class F>
std::string sample(const std::vector<T>& column, std::size_t k, F&& format) {
    std::string out = "[";
    for (std::size_t i = 0; i < k; ++i) {
        if (i > 0) out += ", ";
        out += format(column[i]);
    }
    return out + "]";
}

PyObject* PyFeatureArrays_repr(PyObject* self) {
    return guarded([&] {
        auto self_ = read_self<FeatureColumns>(self);
        const FeatureColumns& c = *self_;
        const std::size_t n = c.file_id.size();
        const std::size_t k = std::min<std::size_t>(n, 3);
        // Columns are not checked against each other: a short one limits its own sample.
        std::string text = "PyFeatureArrays(\n\tFeatures: " + std::to_string(n) +
                           ",\n\tSample Sequence: " + sample(c.sequence, std::min(k, c.sequence.size()), quoted) +
                           ",\n\tSample Hyperscore: " +
                           sample(c.hyperscore, std::min(k, c.hyperscore.size()), [](double v) { return format_shortest(v); }) +
                           ",\n\tSample Charge: " +
                           sample(c.charge, std::min(k, c.charge.size()), [](std::uint8_t v) { return std::to_string(v); }) +
                           "\n)";
        return Ref::checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

PyMethodDef PyFeatureArrays_methods[] = {
    {"extend", as_cfunction(PyFeatureArrays_extend), METH_VARARGS | METH_KEYWORDS,
     "extend($self, other)\n--\n\nExtends this PyFeatureArrays object with the contents of another,\n"
     "concatenating every column efficiently in native code."},
    {"get_column_names", as_cfunction(PyFeatureArrays_get_column_names), METH_VARARGS | METH_KEYWORDS,
     "get_column_names($self)\n--\n\nReturns a list of all column names (field names) available in this struct."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

const ClassDef PyClass<FeatureColumns>::def = {
    "PyFeatureArrays", "PyFeatureArrays", sizeof(Instance<FeatureColumns>), [] {
        auto slots = base_slots(dealloc<FeatureColumns>,
                                "A columnar representation of many PyFeature objects, optimized for zero-copy\n"
                                "transfer to Python's data analysis libraries (e.g., Polars or Pandas).");
        slots.push_back({Py_tp_getset, PyFeatureArrays_getset});
        slots.push_back({Py_tp_methods, PyFeatureArrays_methods});
        slots.push_back({Py_tp_repr, reinterpret_cast<void*>(PyFeatureArrays_repr)});
        return slots;
    }};

}  // namespace tamrel::py
