// Native plans for JSONPath lookups, and the table of parsed paths.
//
// A path parsed by the library's own `parse` into its modelled node classes
// gets a plan: the same steps, run natively in the library's order. The plan
// does what the library's `find` does step by step (each step's matches, and
// each container's items, are taken before the next step starts), so that a
// key whose comparison runs code sees the same calls, in the same order, as
// under the library. Data that a step does not model is handed to that
// step's own library node.
#pragma once

#include "frame.hpp"

#include <memory>

namespace tarvex::jsonpath {

struct Node;

// Owns the nodes of one plan.
class Plan {
public:
    Plan() noexcept = default;
    explicit Plan(std::unique_ptr<Node> root) noexcept;
    Plan(Plan&&) noexcept;
    Plan& operator=(Plan&&) noexcept;
    ~Plan();

    explicit operator bool() const noexcept { return root_ != nullptr; }

    // The plan of an expression that the library's `parse` made; an empty
    // plan (no error) when any node is not modelled or the library changed.
    static Plan compile(PyObject* expression) noexcept;

    // `[m.value for m in expression.find(json)]`: a new list, or only the
    // first value (None when nothing matched). Empty, with nothing pending,
    // when the library must run it instead; empty with an error pending when
    // the data raised what `find` would have raised. `ran_library` is set
    // when a step handed data it does not model to its library node.
    Ref values(PyObject* json, bool all, bool& ran_library) const noexcept;

    // Edits of a path that is a chain of single steps (`$` first, then one
    // name or one index each; for the update, a wildcard may end it), run as
    // the library's own code does them, one
    // operation of the library's on the data for one of ours, so that keys
    // whose comparisons run code see the same calls in the same order. Each
    // is false with the error pending that the library would have raised.
    // Whether the edits below model this path and this root.
    bool edits(PyObject* json) const noexcept;
    // `expression.find_or_create(json)`: the missing dict levels made, lists
    // padded, an empty dict before an index turned into a list.
    bool find_or_create(PyObject* json) const noexcept;
    // `expression.update(json, value)` for a value that is not callable.
    bool update(PyObject* json, PyObject* value) const noexcept;
    // Whether `"$." + str(full_path)` of the one match reads back as this
    // same chain, so that the delete's mark lands where the match is.
    bool marks_back() const noexcept { return marks_back_; }
    // The value of the one match of `find`: 1 with `found` set, 0 for none.
    int locate(PyObject* json, Ref& found) const noexcept;
    // `expression.filter(lambda x: x is marker, json)`.
    bool filter(PyObject* json, PyObject* marker) const noexcept;
    // Where `find` still sees `marker`, `original` goes back, as the update
    // with the delete's put-back callback does it.
    bool put_back(PyObject* json, PyObject* marker, PyObject* original) const noexcept;

    // Edits of paths whose steps may match many: `$` or not, then steps of
    // one name, one index or every child; or descendants of such a chain
    // matched by one such step. They run natively on plain data only
    // (lists, tuples and dicts of exact types, with scalar keys and leaves),
    // where no operation of the library's runs code of the caller's, and
    // find out whether it is plain before they change anything.
    //
    // Whether the update below runs for this root and value (not callable).
    bool updates_many(PyObject* json, PyObject* value) const noexcept;
    // `find_or_create` then `update`: 1 when done, 0 when the data is not
    // plain and nothing changed, -1 with the error pending that the library
    // would have raised (what was changed stays).
    int update_many(PyObject* json, PyObject* value) const noexcept;

    // The delete's `index`-th match and where it sits.
    struct Selected {
        Ref parent;
        Ref key;
        Ref original;
        bool field;
    };
    // Whether the delete below runs for this root and index (an int).
    bool deletes_many(PyObject* json, PyObject* index) const noexcept;
    // Finds the matches and takes the `index`-th: 1 with `selected` set, 0
    // when there is none, 2 when the library must run the delete (the data
    // is not plain, or the match's path would not read back as its own
    // location), -1 with an error pending. Nothing is changed.
    int select(PyObject* json, PyObject* index, Selected& selected) const noexcept;
    // The marker written where the selected match sits, as the update of
    // its concrete path writes it.
    static bool mark(const Selected& selected, PyObject* marker) noexcept;
    // `expression.filter(lambda x: x is marker, json)`.
    bool filter_many(PyObject* json, PyObject* marker) const noexcept;
    // Where the marker still sits, the original goes back.
    static bool put_back(const Selected& selected, PyObject* marker) noexcept;

private:
    enum : unsigned char { many_none, many_chain, many_descend };
    static unsigned char many_shape(const Node* root) noexcept;

    std::unique_ptr<Node> root_;
    bool chain_ = false;
    bool marks_back_ = false;
    unsigned char many_ = many_none;
};

// Whether the library is still what the plans modelled.
bool library_unchanged() noexcept;

// The table a parsed path is kept in: the callers' paths, or the concrete
// paths that the delete makes, so those never push the callers' out.
enum class Table { callers, marks };

// `parse(path)`, through the table of kept parses. A path made by the
// library's own `parse` (while the library is as modelled) is kept with its
// plan; a refusal by it that is an ordinary exception is kept too, and raised
// again at the next call. The kept tree is never handed to changed library
// code: an entry is dropped, and the path parsed afresh, when the library
// changed.
class Parsed {
public:
    bool parse(PyObject* parse, PyObject* path, Table table) noexcept;
    PyObject* expression() const noexcept { return expression_.get(); }
    const Plan* plan() const noexcept { return plan_; }
    // Called after library code ran on the expression: the entry goes when
    // that code changed the library (a tree it was given may be changed too).
    void used() noexcept;

private:
    Ref expression_;
    Ref entry_; // keeps the plan alive
    Ref path_;
    const Plan* plan_ = nullptr;
    Table table_ = Table::callers;
};

// Makes the tables; false with an error pending.
bool make_tables() noexcept;

} // namespace tarvex::jsonpath
