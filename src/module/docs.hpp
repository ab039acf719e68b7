// Documentation texts of the module, the type and its methods.
#pragma once

namespace ivro::docs {

inline constexpr const char cache[] =
    "IVRO(size, callback=None) -> new IVRO dict that can store up to size elements\n"
    "An IVRO dict behaves like a standard dict, except that it stores only fixed\n"
    "set of elements. Once the size overflows, it evicts least recently used\n"
    "items.  If a callback is set it will call the callback with the evicted key\n"
    " and item.\n"
    "\n"
    "Eg:\n"
    ">>> l = IVRO(3)\n"
    ">>> for i in range(5):\n"
    ">>>   l[i] = str(i)\n"
    ">>> l.keys()\n"
    "[2,3,4]\n"
    "\n"
    "Note: An IVRO(n) can be thought of as a dict that will have the most\n"
    "recently accessed n items.\n";

inline constexpr const char node[] = "Linked List Node";

inline constexpr const char contains[] = "L.__contains__(key) -> Check if key is there in L";
inline constexpr const char keys[] = "L.keys() -> list of L's keys in MRU order";
inline constexpr const char values[] = "L.values() -> list of L's values in MRU order";
inline constexpr const char items[] = "L.items() -> list of L's items (key,value) in MRU order";
inline constexpr const char has_key[] = "L.has_key(key) -> Check if key is there in L";
inline constexpr const char get[] =
    "L.get(key, default=None) -> If L has key return its value, otherwise default";
inline constexpr const char setdefault[] =
    "L.setdefault(key, default=None) -> If L has key return its value, otherwise insert key "
    "with a value of default and return default";
inline constexpr const char pop[] =
    "L.pop(key[, default]) -> If L has key return its value and remove it from L, otherwise "
    "return default. If default is not given and key is not in L, a KeyError is raised.";
inline constexpr const char popitem[] =
    "L.popitem([least_recent=True]) -> Returns and removes a (key, value) pair. The pair "
    "returned is the least-recently used if least_recent is true, or the most-recently used "
    "if false.";
inline constexpr const char set_size[] = "L.set_size() -> set size of IVRO";
inline constexpr const char get_size[] = "L.get_size() -> get size of IVRO";
inline constexpr const char clear[] = "L.clear() -> clear IVRO";
inline constexpr const char get_stats[] =
    "L.get_stats() -> returns a tuple with cache hits and misses";
inline constexpr const char peek_first_item[] =
    "L.peek_first_item() -> returns the MRU item (key,value) without changing key order";
inline constexpr const char peek_last_item[] =
    "L.peek_last_item() -> returns the IVRO item (key,value) without changing key order";
inline constexpr const char update[] = "L.update() -> update value for key in IVRO";
inline constexpr const char set_callback[] =
    "L.set_callback(callback) -> set a callback to call when an item is evicted.";
inline constexpr const char reduce[] =
    "L.__reduce__() -> (IVRO, (size,), state) for copy and pickle: state holds L's size, "
    "callback, hit and miss counts and entries, oldest first, as they are at one moment";
inline constexpr const char setstate[] =
    "L.__setstate__(state) -> make L the cache that state from __reduce__ describes: its "
    "entries, settings and counts replace L's, without any callback call or eviction";
inline constexpr const char class_getitem[] =
    "IVRO[K, V] -> a generic alias of IVRO, for annotations evaluated at run time";

}  // namespace ivro::docs
