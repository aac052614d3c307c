// The message a decoder is working on, for the receive path's field reads.
#ifndef TAVRO_RECEIVE_SCOPE_H
#define TAVRO_RECEIVE_SCOPE_H

struct MessageScope
{
    MessageScope();
    ~MessageScope();
    MessageScope(const MessageScope &) = delete;
    MessageScope &operator=(const MessageScope &) = delete;

    MessageScope *outer;
    // The message has left the buffer through its end line.
    bool discarded = false;
};

#endif // TAVRO_RECEIVE_SCOPE_H
