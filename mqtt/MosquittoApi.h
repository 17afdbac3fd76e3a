#pragma once
// libmosquitto, loaded when the first bridge starts (dlopen of libmosquitto.so.1), so that a
// console without MQTT maps neither it nor the TLS libraries it brings: the bridge calls the
// library only through this table. The header gives the types and constants.

#include <QString>

#include <mosquitto.h>
#include <mqtt_protocol.h>

namespace mqtt {

// X(member, function) for every library function the bridge uses.
#define SC_MOSQUITTO_FUNCTIONS(X)                                     \
  X(libInit, mosquitto_lib_init)                                      \
  X(create, mosquitto_new)                                            \
  X(destroy, mosquitto_destroy)                                       \
  X(intOption, mosquitto_int_option)                                  \
  X(maxInflight, mosquitto_max_inflight_messages_set)                 \
  X(willSet, mosquitto_will_set)                                      \
  X(usernamePwSet, mosquitto_username_pw_set)                         \
  X(tlsSet, mosquitto_tls_set)                                        \
  X(connectCallbackSet, mosquitto_connect_callback_set)               \
  X(messageCallbackSet, mosquitto_message_callback_set)               \
  X(connectBindV5, mosquitto_connect_bind_v5)                         \
  X(socket, mosquitto_socket)                                         \
  X(loopRead, mosquitto_loop_read)                                    \
  X(loopWrite, mosquitto_loop_write)                                  \
  X(loopMisc, mosquitto_loop_misc)                                    \
  X(wantWrite, mosquitto_want_write)                                  \
  X(publish, mosquitto_publish)                                       \
  X(subscribeV5, mosquitto_subscribe_v5)                              \
  X(disconnect, mosquitto_disconnect)                                 \
  X(strerror, mosquitto_strerror)                                     \
  X(connackString, mosquitto_connack_string)                          \
  X(reasonString, mosquitto_reason_string)                            \
  X(propertyAddInt32, mosquitto_property_add_int32)                   \
  X(propertyFreeAll, mosquitto_property_free_all)

struct MosquittoApi {
#define SC_MOSQUITTO_MEMBER(member, function) decltype(&::function) member = nullptr;
  SC_MOSQUITTO_FUNCTIONS(SC_MOSQUITTO_MEMBER)
#undef SC_MOSQUITTO_MEMBER
};

// The library, loaded and initialised on the first call; null, with *error saying why, when it
// cannot be (not installed, or a version without one of the functions).
const MosquittoApi* Mosquitto(QString* error);

}  // namespace mqtt
