#pragma once
// The service connection and the date bound of every fetch.
namespace tarnwick::bundle::service {

// (Re)initialises the current service client, Beijing Stock Exchange data on exactly when
// enable_bjse is true. Warnings the client issues meanwhile are not shown; errors propagate.
void _init_tickwire(bool enable_bjse = false);
// The same, used to switch the exchange's data on and back off during a run.
void _switch_of_bjse(bool tag);

// The last date (YYYYMMDD) of every fetch: today once the local clock is strictly past
// 17:30:00.000000, otherwise yesterday. A calendar date: no trading calendar is consulted.
int _get_end_date();

}  // namespace tarnwick::bundle::service
