// Platform error codes and messages.
