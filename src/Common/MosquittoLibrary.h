#pragma once

#include <mosquitto.h>

// The functions used, listed once: each member below is declared, and resolved, from this
// list.
#define KVRT_MOSQUITTO_FUNCTIONS(F) \
    F(mosquitto_new) \
    F(mosquitto_destroy) \
    F(mosquitto_int_option) \
    F(mosquitto_username_pw_set) \
    F(mosquitto_will_set) \
    F(mosquitto_connect_callback_set) \
    F(mosquitto_disconnect_callback_set) \
    F(mosquitto_subscribe_callback_set) \
    F(mosquitto_message_callback_set) \
    F(mosquitto_connect_async) \
    F(mosquitto_disconnect) \
    F(mosquitto_socket) \
    F(mosquitto_want_write) \
    F(mosquitto_loop_read) \
    F(mosquitto_loop_write) \
    F(mosquitto_loop_misc) \
    F(mosquitto_subscribe) \
    F(mosquitto_unsubscribe) \
    F(mosquitto_publish) \
    F(mosquitto_sub_topic_check) \
    F(mosquitto_pub_topic_check) \
    F(mosquitto_topic_matches_sub) \
    F(mosquitto_strerror)

// The functions of libmosquitto, resolved from the shared library when a connection is
// first made rather than linked. Linked, the library and the OpenSSL libraries it needs
// would be mapped and relocated before main() at every start, ahead of the first frame;
// Qt's network module loads OpenSSL the same way for the same reason.
//
// Members carry the names and types of the library's functions.
class MosquittoLibrary
{
public:
    // Loaded and initialised on the first call, then kept until the process ends.
    // Null when the library or one of its functions is missing (said once in the log).
    static const MosquittoLibrary* instance();
    // Starts loading it on a thread of its own, once: a program that knows it will connect
    // does not wait for the load then (milliseconds on the device). instance() waits for a
    // load under way.
    static void preload();

#define KVRT_MOSQUITTO_DECLARE(name) decltype(&::name) name = nullptr;
    KVRT_MOSQUITTO_FUNCTIONS(KVRT_MOSQUITTO_DECLARE)
#undef KVRT_MOSQUITTO_DECLARE

private:
    MosquittoLibrary() = default;
    bool load();
};
