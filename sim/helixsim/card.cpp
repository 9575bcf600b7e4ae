#include "helixsim/card.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "helixsim/image_file.h"
#include "helixsim/model.h"

namespace helixsim {

namespace {

TransmitResult Exchange(CardModel& model, const Bytes& command, const std::optional<Fault>& fault) {
    TransmitResult result;
    if (!fault) {
        result.response = model.Transmit(command);
        return result;
    }
    switch (fault->kind) {
        case Fault::Kind::StatusWord:
            result.response = {static_cast<uint8_t>(fault->sw >> 8), static_cast<uint8_t>(fault->sw & 0xFF)};
            return result;
        case Fault::Kind::Tear:
            model.TransmitTorn(command, fault->tearBytes);
            result.event = TransmitResult::Event::Reset;
            return result;
        case Fault::Kind::ResetAfter:
        case Fault::Kind::RemoveAfter:
            result.response = model.Transmit(command);
            break;
        case Fault::Kind::ResetBefore:
        case Fault::Kind::RemoveBefore:
            break;
    }
    model.Reset();
    const bool removal = fault->kind == Fault::Kind::RemoveBefore || fault->kind == Fault::Kind::RemoveAfter;
    result.event = removal ? TransmitResult::Event::Removed : TransmitResult::Event::Reset;
    return result;
}

// Processing time plus 10 bits per byte on the wire, both ways.
uint64_t CardTime(const Latency& latency, size_t bytes) {
    uint64_t micros = latency.perCommandMicros;
    if (latency.baud != 0) micros += static_cast<uint64_t>(bytes) * 10u * 1000000u / latency.baud;
    return micros;
}

}  // namespace

HelixCard::HelixCard(const Profile& profile) : m_model(std::make_unique<CardModel>(profile)) {}
HelixCard::~HelixCard() = default;

std::unique_ptr<HelixCard> HelixCard::Load(const std::string& path) {
    std::unique_ptr<CardModel> model;
    try {
        model = CardModel::FromImage(ReadImageFile(path));
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("card image " + path + ": " + e.what());
    }
    auto card = std::make_unique<HelixCard>(model->GetProfile());
    card->m_model = std::move(model);
    return card;
}

void HelixCard::Save(const std::string& path) const {
    const crypto::SecretBytes image = m_model->Image();
    try {
        WriteImageFile(path, image.bytes());
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("card image " + path + ": " + e.what());
    }
}

const Bytes& HelixCard::Atr() const {
    return m_model->GetProfile().atr;
}

void HelixCard::Reset() {
    m_model->Reset();
}

TransmitResult HelixCard::Transmit(const Bytes& command) {
    m_model->LogCommand(command);
    ++m_commands;
    std::optional<Fault> fault;
    const auto due = std::find_if(m_faults.begin(), m_faults.end(),
                                  [this](const Fault& f) { return f.command == m_commands; });
    if (due != m_faults.end()) {
        fault = *due;
        m_faults.erase(due);
    }
    TransmitResult result = Exchange(*m_model, command, fault);
    result.cardMicros = CardTime(m_latency, command.size() + result.response.size());
    m_micros += result.cardMicros;
    if (m_latency.sleep && result.cardMicros != 0)
        std::this_thread::sleep_for(std::chrono::microseconds(result.cardMicros));
    return result;
}

void HelixCard::AddFault(const Fault& fault) {
    if (fault.command == 0) throw std::invalid_argument("fault: commands are numbered from 1");
    m_faults.push_back(fault);
}

uint32_t HelixCard::CommandsReceived() const {
    return m_commands;
}

void HelixCard::SetLatency(const Latency& latency) {
    m_latency = latency;
}

uint64_t HelixCard::CardMicros() const {
    return m_micros;
}

const std::vector<Bytes>& HelixCard::CommandLog() const {
    return m_model->CommandLog();
}
void HelixCard::ClearCommandLog() {
    m_model->ClearCommandLog();
}

std::optional<Bytes> HelixCard::FileContent(const CardPath& path) const {
    return m_model->FileContent(path);
}
std::optional<uint8_t> HelixCard::TriesLeft(uint8_t objectId) const {
    return m_model->TriesLeft(objectId);
}
uint32_t HelixCard::FreeMemory() const {
    return m_model->FreeMemory();
}
std::optional<HelixCard::KeyObjectView> HelixCard::KeyObject(const CardPath& path) const {
    return m_model->KeyObject(path);
}

}  // namespace helixsim
