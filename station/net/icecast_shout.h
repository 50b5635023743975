#pragma once
// The Icecast push's two library-backed parts: the source connection on
// libshout and the Ogg Opus encoder on libopusenc. Only icecast_shout.cpp
// sees those libraries.

#include <memory>

#include "station/net/icecast_push.h"

namespace station {

// A source connection over HTTP with libshout, non-blocking, so that a login
// gives up after openTimeoutMs and a stop is noticed within 10 ms. A login
// the server refuses is told apart with a second login on a fresh mount
// name: when that one is taken the password is right and the mount was in
// use (libshout reports both as one "login failed").
// `backlogLimitBytes`: bytes the server may leave untaken before send says
// TooSlow.
std::unique_ptr<IcecastConnection> makeShoutConnection(int openTimeoutMs = 5000, long backlogLimitBytes = 8192);

// Ogg Opus from 8000 Hz mono blocks, with libopusenc (which resamples for
// Opus itself). Pages are cut at most every `pageMs` ms of audio, which
// bounds what a listener waits for beyond the network.
std::unique_ptr<StreamEncoder> makeOpusOggEncoder(int pageMs = 200);

} // namespace station
