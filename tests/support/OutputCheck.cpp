#include "OutputCheck.h"

#include "TempDir.h"

#include <cstdlib>
#include <sstream>

int StreamOfPort(const std::string &folder, uint16_t port)
{
    std::istringstream rows(ReadText(folder + "connections.csv"));
    std::string row;
    while (std::getline(rows, row)) {
        // number,first_seen,last_seen,initiator,initiator_port,...
        std::istringstream fields(row);
        std::string field[5];
        for (auto &f : field)
            std::getline(fields, f, ',');
        if (field[4] == std::to_string(port))
            return std::atoi(field[0].c_str());
    }
    return 0;
}

std::string CheckCaptured(const std::vector<uint8_t> &file, const std::vector<uint8_t> &sent,
                          bool dropped)
{
    if (!dropped && file.size() != sent.size())
        return "length " + std::to_string(file.size()) + ", sent " + std::to_string(sent.size());
    if (file.size() > sent.size())
        return "longer than what was sent: " + std::to_string(file.size());
    for (size_t i = 0; i < file.size(); ++i) {
        if (file[i] != sent[i] && (!dropped || file[i] != 0))
            return "byte " + std::to_string(i) + " differs";
    }
    return {};
}

long DroppedBy(const std::string &text)
{
    const std::string key = "dropped by the kernel: ";
    const size_t at = text.find(key);
    return at == std::string::npos ? -1 : std::atol(text.c_str() + at + key.size());
}
