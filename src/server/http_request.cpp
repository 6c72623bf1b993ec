#include "server/http_request.h"

#include "core/encoding.h"

#include <vector>

namespace velmora {

namespace {

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> split_words(const std::string &line, std::size_t most)
{
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size() && words.size() < most) {
        while (i < line.size() && is_space(line[i]))
            ++i;
        std::size_t start = i;
        while (i < line.size() && !is_space(line[i]))
            ++i;
        if (i > start)
            words.push_back(line.substr(start, i - start));
    }
    return words;
}

char lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

std::uint32_t parse_content_length(const std::string &text)
{
    std::size_t i = 0;
    while (i < text.size() && is_space(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::uint64_t value = 0;
    bool overflow = false;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
        if (value > 0xffffffffull) {
            overflow = true;
            break;
        }
    }
    if (overflow)
        return 0xffffffffu;
    auto result = static_cast<std::uint32_t>(value);
    return negative ? static_cast<std::uint32_t>(0u - result) : result;
}

std::map<std::string, std::string> parse_query(const std::string &text)
{
    std::map<std::string, std::string> result;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('&', start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start) {
            std::string piece = text.substr(start, end - start);
            std::size_t equals = piece.find('=');
            std::string name = url_decode(piece.substr(0, equals));
            std::string value =
                equals == std::string::npos ? std::string() : url_decode(piece.substr(equals + 1));
            result[name] = std::move(value);
        }
        start = end + 1;
    }
    return result;
}

RequestAssembler::Status RequestAssembler::feed(const char *bytes, std::size_t length)
{
    if (!head_done_) {
        std::size_t searched_from = buffer_.size() >= 3 ? buffer_.size() - 3 : 0;
        buffer_.append(bytes, length);
        if (buffer_.size() > max_head_bytes)
            return Status::failed;
        if (buffer_.size() < 4)
            return Status::need_more;
        std::size_t end = buffer_.find("\r\n\r\n", searched_from);
        if (end == std::string::npos)
            return Status::need_more;

        std::string head = buffer_.substr(0, end);
        request_.body = buffer_.substr(end + 4);
        buffer_ = std::move(head);
        head_done_ = true;
        Status parsed = parse_head();
        buffer_.clear();
        if (parsed != Status::need_more)
            return parsed;
    } else {
        request_.body.append(bytes, length);
    }

    if (!has_length_)
        return Status::complete;
    if (request_.body.size() < body_length_)
        return Status::need_more;
    request_.body.resize(body_length_);
    return Status::complete;
}

RequestAssembler::Status RequestAssembler::parse_head()
{
    std::vector<std::string> lines = split_lines(buffer_);
    if (lines.empty())
        return Status::failed;

    std::vector<std::string> words = split_words(lines[0], 3);
    if (words.size() < 2)
        return Status::failed;
    request_.method = words[0];
    const std::string &target = words[1];
    if (target[0] != '/')
        return Status::failed;
    std::size_t question = target.find('?');
    request_.path = target.substr(0, question);
    if (question != std::string::npos)
        request_.query = parse_query(target.substr(question + 1));

    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string &line = lines[i];
        std::size_t colon = line.find(':');
        if (line.empty() || colon == std::string::npos)
            continue;
        std::string name = line.substr(0, colon);
        for (char &c : name)
            c = lower(c);
        std::size_t value_start = colon + 1;
        while (value_start < line.size() && (line[value_start] == ' ' || line[value_start] == '\t'))
            ++value_start;
        request_.headers[name] = line.substr(value_start);
    }

    auto length = request_.headers.find("content-length");
    if (length != request_.headers.end()) {
        std::uint32_t announced = parse_content_length(length->second);
        if (announced > max_body_bytes)
            return Status::failed;
        has_length_ = true;
        body_length_ = announced;
    }
    return Status::need_more;
}

} // namespace velmora
