// Every message the binding writes itself, in one place. Messages that come from the
// interpreter (integer, float and UTF-8 conversion) are the interpreter's own.
#pragma once

namespace ratiokit::msg {

inline constexpr const char* TYPE_MISMATCH = "'%U' object is not an instance of '%s'";
inline constexpr const char* NONE_MISMATCH = "'None' is not an instance of '%s'";
inline constexpr const char* STR_TO_VEC = "Can't extract `str` to `Vec`";
inline constexpr const char* TUPLE_LENGTH = "expected tuple of length %zd, but got tuple of length %zd";
inline constexpr const char* OPERAND_TYPE = "'%U' object is not a str, list, tuple or bytes";
inline constexpr const char* MIXED_OPERANDS =
    "a str cannot be compared with a '%U': give two str, or two lists, tuples or bytes of "
    "hashable items";
inline constexpr const char* PAIRS_TYPE = "a '%U' is not an iterable of pairs";
inline constexpr const char* PAIRS_NOT_TABLE =
    "pass an iterable of (a, b) pairs (for two columns, zip(df[a], df[b])), not a %s";
inline constexpr const char* NOT_A_PAIR = "'%U' object is not a pair of two items";
inline constexpr const char* PAIR_LENGTH = "expected a pair of 2 items, but got %zd items";
inline constexpr const char* ARGUMENT = "argument '%s': %S";
inline constexpr const char* TOO_MANY_ITEMS =
    "argument '%s': %zd strings are more than the supported maximum of %zu";
inline constexpr const char* LIST_BEING_SORTED =
    "a list argument is being sorted by another thread; its items cannot be read until it ends";
inline constexpr const char* TOO_LONG =
    "argument '%s': a text of %zd code points is longer than the supported maximum of %zd";

// The package's rule for a column of strings and for documents (see to_text_column).
inline constexpr const char* COLUMN_NOT_TABLE =
    "pass a column (a Series, list or array of str), not a %s";
inline constexpr const char* NOT_ITERABLE =
    "expected an iterable of str (a list, tuple, Series or array), got %s";
inline constexpr const char* NOT_DOCUMENTS =
    "expected an iterable of documents (each an iterable of str tokens), got %s";
inline constexpr const char* ITEM_NOT_STR = "item %zd is %s, not str";
inline constexpr const char* DOCUMENT_NOT_TOKENS =
    "document %zd is a %s; pass its tokens (an iterable of str)";
inline constexpr const char* TOKEN_NOT_STR = "document %zd: token %zd is %s, not str";
// Counts (threads, limits, sizes) and thresholds of the package's functions.
inline constexpr const char* UNIT_TYPE = "must be a number in [0, 1], got %s";
inline constexpr const char* UNIT_RANGE = "argument '%s': must be in [0, 1], got %R";

inline constexpr const char* PROGRESS_NOT_CALLABLE = "argument 'progress': '%s' object is not callable";
inline constexpr const char* CHOICE_TOO_LONG = "a text is longer than the supported maximum";
inline constexpr const char* LENGTH_OVERFLOW = "cannot fit 'int' into an index-sized integer";

inline constexpr const char* TOO_MANY_POSITIONAL = "%s takes %zd positional arguments but %zd %s given";
inline constexpr const char* TOO_MANY_POSITIONAL_RANGE =
    "%s takes from %zd to %zd positional arguments but %zd %s given";
inline constexpr const char* UNEXPECTED_KEYWORD = "%s got an unexpected keyword argument '%U'";
inline constexpr const char* MULTIPLE_VALUES = "%s got multiple values for argument '%s'";
inline constexpr const char* MISSING = "%s missing %zd required positional %s: %U";
inline constexpr const char* POSITIONAL_ONLY =
    "%s got some positional-only arguments passed as keyword arguments: '%U'";
inline constexpr const char* MISSING_A = "%s missing 1 required positional argument: 'a'";
inline constexpr const char* MISSING_B = "%s missing 1 required positional argument: 'b'";
inline constexpr const char* NONE_B =
    "%s got b=None beside a str or bytes a: b must be the other side of the pair (b=None "
    "is the list form, ratio(pairs))";

inline constexpr const char* UNKNOWN_CONCURRENCY =
    "unknown concurrency %s; expected \"cpu\", \"gpu\", or \"gpu+cpu\"";

inline constexpr const char* SUBINTERPRETER =
    "module _ratiokit does not support loading in subinterpreters";

inline constexpr const char* PANIC_DEFAULT = "ratiokit: internal fault in a computation";
inline constexpr const char* PANIC_DOC =
    "Raised when ratiokit meets an internal fault it cannot recover from. Derives from "
    "BaseException, like KeyboardInterrupt, so that `except Exception` does not hide it.";

}  // namespace ratiokit::msg
