#include "platform/program.h"

// The C runtime's rules for splitting a command line, for both builds: here the installer's
// parameter string becomes its arguments; on Windows it tells what a started program will see.

namespace velmora::platform {

std::vector<std::string> split_command_line(std::string_view text)
{
    std::vector<std::string> arguments;
    std::size_t at = 0;
    for (;;) {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
            ++at;
        if (at >= text.size())
            return arguments;
        std::string argument;
        bool quoted = false;
        while (at < text.size() && (quoted || (text[at] != ' ' && text[at] != '\t'))) {
            char c = text[at];
            if (c == '\\') {
                std::size_t run = 0;
                while (at < text.size() && text[at] == '\\') {
                    ++run;
                    ++at;
                }
                // Backslashes are literal unless a quote follows: then they pair up, and an odd one
                // escapes the quote.
                if (at < text.size() && text[at] == '"') {
                    argument.append(run / 2, '\\');
                    if (run % 2 == 1) {
                        argument.push_back('"');
                        ++at;
                    }
                } else {
                    argument.append(run, '\\');
                }
            } else if (c == '"') {
                if (quoted && at + 1 < text.size() && text[at + 1] == '"') {
                    argument.push_back('"');
                    at += 2;
                } else {
                    quoted = !quoted;
                    ++at;
                }
            } else {
                argument.push_back(c);
                ++at;
            }
        }
        arguments.push_back(std::move(argument));
    }
}

} // namespace velmora::platform
