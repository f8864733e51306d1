// Structural mutations: each enumerates its candidates in a fixed order, lets
// the C generator pick one, and changes the network in place. With no
// candidate nothing changes and nothing is drawn. Every connection they create
// takes its weight from the network's own engine.
#pragma once

#include <cstdint>

#include "network/network.hpp"

namespace tessavo {

// Creates one absent allowed connection.
void add_connection(Network& network);

// Clears one connection whose source keeps another way out and whose target
// keeps another way in (self-connections do not count as either).
void remove_connection(Network& network);

// Splits one existing connection with a new hidden node whose activation code
// comes from the C generator and whose bias is a fresh N(0, 1) draw.
void add_node(Network& network);

// Replaces the connection from -> to by a new node placed right after `from`
// (or first among the hidden nodes), connected from `from` and to `to`.
void insert_node(Network& network, int32_t from, int32_t to, double bias, int32_t activation);

// Deletes one hidden node and connects each of its predecessors to each of
// its successors with new weights.
void remove_node(Network& network);

}  // namespace tessavo
