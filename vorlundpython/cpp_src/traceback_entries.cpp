// Synthetic traceback entries and the cache of their code objects.
//
// A native function has no frame of its own, so a failure raised here would
// show no line of the module in its traceback. Each entry is a fresh frame
// over a code object that names the failing function; code objects are
// cached by line so that a site failing in a loop makes its strings and its
// code object once.
#include "traceback_entries.hpp"

#include "compat.hpp"
#include "owned_ref.hpp"

namespace concordix {
namespace {

constexpr int32_t kCacheGrowth = 64;

// Guards the cache where there is no GIL to do it (free-threaded builds):
// held only to search and to change the array, never while Python code runs.
compat::Mutex cache_mutex;

// Position of the first entry whose key is not below `key`, or `count`.
// Keys above every cached key (the usual case while the cache fills) are
// answered without a search.
int32_t bisect_code_objects(const CodeObjectCacheEntry *entries, int32_t count, int32_t key)
{
    int32_t start = 0, mid = 0, end = count - 1;
    if (end >= 0 && key > entries[end].key)
        return count;
    while (start < end) {
        mid = start + (end - start) / 2;
        if (key < entries[mid].key)
            end = mid;
        else if (key > entries[mid].key)
            start = mid + 1;
        else
            return mid;
    }
    return key <= entries[mid].key ? mid : mid + 1;
}

// New reference to the cached code object for `key`, or null. Lines of
// different files share keys (a failed import's entry at line 4 of the
// implementation file, the __setstate__ refusal's at line 4 of
// "stringsource"): a code object cached for another file is not used, and
// the new one takes its place.
PyCodeObject *find_code_object(int32_t key, const char *filename)
{
    const CodeObjectCache &cache = module_state.code_cache;
    if (key == 0)
        return nullptr;
    compat::MutexLock lock(cache_mutex);
    if (!cache.entries)
        return nullptr;
    int32_t pos = bisect_code_objects(cache.entries, cache.count, key);
    if (pos >= cache.count || cache.entries[pos].key != key)
        return nullptr;
    PyCodeObject *code = cache.entries[pos].code_object;
    if (PyUnicode_CompareWithASCIIString(code->co_filename, filename) != 0)
        return nullptr;
    Py_INCREF(code);
    return code;
}

// Caches `code` under `key` (not 0) with the cache locked. Returns the code
// object that `code` replaced, whose reference the caller releases once the
// lock is given up.
PyCodeObject *insert_locked(int32_t key, PyCodeObject *code)
{
    CodeObjectCache &cache = module_state.code_cache;
    if (!cache.entries) {
        auto *entries = static_cast<CodeObjectCacheEntry *>(
            PyMem_Malloc(kCacheGrowth * sizeof(CodeObjectCacheEntry)));
        if (!entries)
            return nullptr;
        cache.entries = entries;
        cache.capacity = kCacheGrowth;
        cache.count = 1;
        entries[0].code_object = code;
        entries[0].key = key;
        Py_INCREF(code);
        return nullptr;
    }
    int32_t pos = bisect_code_objects(cache.entries, cache.count, key);
    if (pos < cache.count && cache.entries[pos].key == key) {
        PyCodeObject *old = cache.entries[pos].code_object;
        Py_INCREF(code);
        cache.entries[pos].code_object = code;
        return old;
    }
    if (cache.count == cache.capacity) {
        int32_t capacity = cache.capacity + kCacheGrowth;
        auto *entries = static_cast<CodeObjectCacheEntry *>(PyMem_Realloc(
            cache.entries, static_cast<size_t>(capacity) * sizeof(CodeObjectCacheEntry)));
        if (!entries)
            return nullptr;
        cache.entries = entries;
        cache.capacity = capacity;
    }
    for (int32_t i = cache.count; i > pos; --i)
        cache.entries[i] = cache.entries[i - 1];
    cache.entries[pos].code_object = code;
    cache.entries[pos].key = key;
    cache.count++;
    Py_INCREF(code);
    return nullptr;
}

// Caches `code` under `key`. Running out of memory here only means the next
// failure at this site builds its code object again, so it is not an error.
void insert_code_object(int32_t key, PyCodeObject *code)
{
    if (key == 0)
        return;
    PyCodeObject *replaced;
    {
        compat::MutexLock lock(cache_mutex);
        replaced = insert_locked(key, code);
    }
    // Released unlocked: freeing a code object may run arbitrary code (its
    // watchers), which may fail here again.
    Py_XDECREF(replaced);
}

// The native line to show: `native_line` while cython_runtime's switch
// cline_in_traceback is true, else 0. A missing switch is created as False.
// Whatever goes wrong while reading the switch hides the native line and is
// discarded: the caller's pending exception comes out exactly as it went in.
int cline_for_traceback(int native_line)
{
    ModuleState &st = module_state;
    PyObject *name = st.strings.cline_in_traceback;
    PyObject *runtime = st.runtime_module;
    compat::PendingException saved = compat::take_pending_exception();
    // Another interpreter that uses the module reads its own switch.
    OwnedRef own_runtime;
    if (!built_here()) {
        own_runtime = compat::add_module_ref("cython_runtime");
        runtime = own_runtime.get();
        // GCOVR_EXCL_START: only without memory (a module is made and
        // registered when there is none)
        if (!runtime) {
            PyErr_Clear();
            compat::restore_pending_exception(saved);
            return 0;
        }
        // GCOVR_EXCL_STOP
    }

    PyObject *value = nullptr;  // owned while tested: its __bool__ may drop the switch
    // cython_runtime is always a module (the interpreter replaces anything
    // else under the name), and a module's dictionary is made with it.
    PyObject **dict = _PyObject_GetDictPtr(runtime);
    if (dict) {  // GCOVR_EXCL_BR_LINE: see above
        if (*dict) {  // GCOVR_EXCL_BR_LINE: see above
            value = compat::dict_get_ref_known_hash(*dict, name, compat::stored_hash(name));
        }
    } else {
        // GCOVR_EXCL_START: see above
        PyObject *attr = get_attribute(runtime, name);
        if (attr) {
            compat::ReentryGuard guard;
            int is_false = guard.entered() ? PyObject_Not(attr) : -1;
            Py_DECREF(attr);
            value = is_false ? Py_False : Py_True;
            Py_INCREF(value);
        }
        // GCOVR_EXCL_STOP
    }
    PyErr_Clear();

    int shown = 0;
    if (!value) {
        (void)PyObject_SetAttr(runtime, name, Py_False);
    } else {
        // A truth test that fails counts as false.
        compat::ReentryGuard guard;
        shown = guard.entered() && PyObject_Not(value) == 0 ? native_line : 0;
        Py_DECREF(value);
    }
    compat::restore_pending_exception(saved);
    return shown;
}

PyCodeObject *create_code_object(const char *function_name, int native_line,
                                 int declaration_line, const char *filename)
{
    PyObject *file = PyUnicode_FromString(filename);
    if (!file)
        return nullptr;
    PyObject *name = native_line ? PyUnicode_FromFormat("%s (%s:%d)", function_name,
                                                        kNativeSourcePath, native_line)
                                 : PyUnicode_FromString(function_name);
    if (!name) {
        Py_DECREF(file);
        return nullptr;
    }
    PyCodeObject *code = compat::new_traceback_code(file, name, declaration_line,
                                                    module_state.empty_bytes,
                                                    module_state.empty_tuple);
    Py_DECREF(file);
    Py_DECREF(name);
    return code;
}

// Empties the cache and hands its entries to the caller, who then owns them.
CodeObjectCache move_cache_out()
{
    CodeObjectCache taken = module_state.code_cache;
    module_state.code_cache = CodeObjectCache{};
    return taken;
}

}  // namespace

CodeObjectCache take_code_objects(bool locked)
{
    if (!locked)
        return move_cache_out();
    compat::MutexLock lock(cache_mutex);
    return move_cache_out();
}

void add_traceback(const char *function_name, int native_line, int declaration_line)
{
    PyThreadState *tstate = compat::thread_state_unchecked();
    const char *filename = error_position.filename;

    if (native_line)
        native_line = cline_for_traceback(native_line);
    // The key is the line alone: native positions are cached under their
    // negated line, so they never meet the declaration lines.
    int32_t key = native_line ? -native_line : declaration_line;

    PyCodeObject *code = find_code_object(key, filename);
    if (!code) {
        code = create_code_object(function_name, native_line, declaration_line, filename);
        if (!code)
            return;
        insert_code_object(key, code);
    }
    PyFrameObject *frame = PyFrame_New(tstate, code, module_state.module_dict, nullptr);
    if (frame) {
        compat::set_frame_line(frame, declaration_line);
        (void)PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
    Py_DECREF(code);
}

}  // namespace concordix
