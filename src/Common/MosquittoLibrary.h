#pragma once

#include <mosquitto.h>

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

    decltype(&::mosquitto_new) mosquitto_new = nullptr;
    decltype(&::mosquitto_destroy) mosquitto_destroy = nullptr;
    decltype(&::mosquitto_int_option) mosquitto_int_option = nullptr;
    decltype(&::mosquitto_username_pw_set) mosquitto_username_pw_set = nullptr;
    decltype(&::mosquitto_will_set) mosquitto_will_set = nullptr;
    decltype(&::mosquitto_connect_callback_set) mosquitto_connect_callback_set = nullptr;
    decltype(&::mosquitto_disconnect_callback_set) mosquitto_disconnect_callback_set = nullptr;
    decltype(&::mosquitto_subscribe_callback_set) mosquitto_subscribe_callback_set = nullptr;
    decltype(&::mosquitto_message_callback_set) mosquitto_message_callback_set = nullptr;
    decltype(&::mosquitto_connect_async) mosquitto_connect_async = nullptr;
    decltype(&::mosquitto_disconnect) mosquitto_disconnect = nullptr;
    decltype(&::mosquitto_socket) mosquitto_socket = nullptr;
    decltype(&::mosquitto_want_write) mosquitto_want_write = nullptr;
    decltype(&::mosquitto_loop_read) mosquitto_loop_read = nullptr;
    decltype(&::mosquitto_loop_write) mosquitto_loop_write = nullptr;
    decltype(&::mosquitto_loop_misc) mosquitto_loop_misc = nullptr;
    decltype(&::mosquitto_subscribe) mosquitto_subscribe = nullptr;
    decltype(&::mosquitto_unsubscribe) mosquitto_unsubscribe = nullptr;
    decltype(&::mosquitto_publish) mosquitto_publish = nullptr;
    decltype(&::mosquitto_sub_topic_check) mosquitto_sub_topic_check = nullptr;
    decltype(&::mosquitto_pub_topic_check) mosquitto_pub_topic_check = nullptr;
    decltype(&::mosquitto_topic_matches_sub) mosquitto_topic_matches_sub = nullptr;
    decltype(&::mosquitto_strerror) mosquitto_strerror = nullptr;

private:
    MosquittoLibrary() = default;
    bool load();
};
