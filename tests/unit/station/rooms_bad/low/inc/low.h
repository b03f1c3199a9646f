// A room below: it may use no other room.
#pragma once
int low();
