#include "master/attribute_names.hpp"
#include "master/link_guard.hpp"

#include "module/interned.hpp"
#include "module/state.hpp"

namespace qel::master {

namespace {

const Name kSocket{"_socket"};
const Name kInit{"__init__"};

// A class still holding exactly what it was built with: the same members
// under the same names, and nothing added (an attribute hook, a descriptor
// shadowing an instance attribute).
class BuiltClass {
public:
    explicit BuiltClass(PyObject* ModuleState::*cls, PyObject* ModuleState::*built) : cls_(cls), built_(built) {}

    bool unchanged() {
        auto* type = reinterpret_cast<PyTypeObject*>(state().*cls_);
        if (tag_ != 0 && type == type_ && current_tag(type) == tag_) return true;
        type_ = type;
        tag_ = 0;
        if (!same_members(type->tp_dict, state().*built_)) return false;
        tag_ = assign_tag(type);
        return true;
    }

private:
    static bool same_members(PyObject* now, PyObject* built) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(built, &pos, &key, &value))
            if (PyDict_GetItem(now, key) != value) return false;
        if (PyDict_Size(now) == PyDict_Size(built)) return true;
        pos = 0;
        while (PyDict_Next(now, &pos, &key, &value))
            if (PyDict_GetItem(built, key) == nullptr && !harmless_addition(key)) return false;
        return true;
    }
    // Reading a class's __annotations__ stores an empty dict in it; that
    // changes nothing the engine reaches.
    static bool harmless_addition(PyObject* key) {
        return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "__annotations__") == 0;
    }
    static unsigned int current_tag(PyTypeObject* type) {
        return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
    }
    // The interpreter hands out a tag lazily, at the first cached lookup on
    // the class; ask for one now, so the next check is the fast one.
    static unsigned int assign_tag(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
        if (!PyUnstable_Type_AssignVersionTag(type)) return 0;
#else
        PyObject* any = PyObject_GetAttr(reinterpret_cast<PyObject*>(type), kInit.get());
        if (any == nullptr) {
            PyErr_Clear();
            return 0;
        }
        Py_DECREF(any);
#endif
        return current_tag(type);
    }

    PyObject* ModuleState::*cls_;
    PyObject* ModuleState::*built_;
    PyTypeObject* type_ = nullptr;
    unsigned int tag_ = 0;
};

BuiltClass g_master{&ModuleState::master, &ModuleState::master_members};
BuiltClass g_tunnel{&ModuleState::tcp_tunnel, &ModuleState::tunnel_members};

// A lookup that neither raises nor touches a pending error; the keys are
// interned names, so it cannot fail.
PyObject* lookup(PyObject* dict, const Name& key) {
    PyObject* value = PyDict_GetItemWithError(dict, key.get());
    if (value == nullptr) PyErr_Clear();
    return value;
}

// The instance dict of `obj`, when it is an exact instance of `cls`.
Ref dict_of_exact(PyObject* obj, PyObject* cls) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(obj)) != cls) return Ref{};
    PyObject* dict = PyObject_GenericGetDict(obj, nullptr);
    if (dict == nullptr || !PyDict_Check(dict)) {
        Py_XDECREF(dict);
        PyErr_Clear();
        return Ref{};
    }
    return Ref::steal(dict);
}

// The channel, when the master's dict holds exactly its three attributes.
// The keys are almost always the very name objects the master stored them
// under, which a walk over the three entries sees at once; any other key
// object is looked at by value.
PyObject* channel_of_plain(PyObject* dict) {
    if (PyDict_Size(dict) != 3) return nullptr;
    Py_ssize_t pos = 0;
    PyObject *key, *value, *channel = nullptr;
    int known = 0;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (key == attr::tunnel.get()) {
            channel = value;
            ++known;
        } else if (key == attr::last_sent.get() || key == attr::last_received.get()) {
            ++known;
        }
    }
    if (known == 3) return channel;
    channel = lookup(dict, attr::tunnel);
    if (channel == nullptr || lookup(dict, attr::last_sent) == nullptr || lookup(dict, attr::last_received) == nullptr)
        return nullptr;
    return channel;
}

// The socket, when the tunnel's dict holds nothing else.
PyObject* socket_of_plain(PyObject* dict) {
    if (PyDict_Size(dict) != 1) return nullptr;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    if (PyDict_Next(dict, &pos, &key, &value) && key == kSocket.get()) return value;
    return lookup(dict, kSocket);
}

}  // namespace

RoadChoice pick_road(PyObject* self) {
    RoadChoice choice;
    const ModuleState& s = state();
    Ref dict = dict_of_exact(self, s.master);
    if (!dict || !g_master.unchanged()) return choice;
    PyObject* channel = channel_of_plain(dict.get());
    if (channel == nullptr) return choice;
    choice.road = Road::Channel;
    choice.channel = channel;
    choice.master_dict = std::move(dict);
    // in_waiting and timeout are properties, which no instance attribute can
    // shadow; read and write are not, so the tunnel's dict must hold nothing
    // but its socket.
    Ref tunnel_dict = dict_of_exact(channel, s.tcp_tunnel);
    if (!tunnel_dict || !g_tunnel.unchanged()) return choice;
    PyObject* sock = socket_of_plain(tunnel_dict.get());
    if (sock == nullptr) return choice;
    choice.road = Road::Tunnel;
    choice.socket = sock;
    choice.tunnel_dict = std::move(tunnel_dict);
    return choice;
}

}  // namespace qel::master
