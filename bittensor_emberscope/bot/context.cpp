// What the bot's threads share.
#include "bot/context.hpp"

namespace emberscope::bot {

bool Context::allowed(const Message& message) const {
    AccessList access;
    {
        std::lock_guard lock(mutex_);
        access = access_;
    }
    for (const auto& [from, to] : holds.migrations())
        for (const std::string& chat : access.chats)
            if (chat == from) {
                access.chats.push_back(holds.chat_for(from));
                break;
            }
    return bot::allowed(access, Sender{message.chat_id, message.chat_username, message.user_id});
}

void Context::set_access(AccessList access) {
    std::lock_guard lock(mutex_);
    access_ = std::move(access);
}

std::size_t Context::chats() const {
    std::lock_guard lock(mutex_);
    return access_.chats.size();
}

std::string Context::name() const {
    std::lock_guard lock(mutex_);
    return name_;
}

void Context::set_name(std::string name) {
    std::lock_guard lock(mutex_);
    name_ = std::move(name);
}

std::optional<std::string> Context::note() const {
    std::lock_guard lock(mutex_);
    return note_;
}

void Context::set_note(std::optional<std::string> note) {
    {
        std::lock_guard lock(mutex_);
        if (note_ == note) return;
        note_ = std::move(note);
    }
    if (note_changed_) note_changed_();
}

void Context::restore_offset(Services& services) {
    std::lock_guard lock(save_mutex_);
    OffsetRecord record = load_offset_record(services, settings.offset_path);
    inbox.restore(record);
    saved_ = std::move(record);
}

void Context::save_offset(Services& services) {
    // One writer at a time, each writing the latest record: the last write is never an old one.
    std::lock_guard lock(save_mutex_);
    OffsetRecord record = inbox.record();
    if (saved_ == record) return;
    try {
        save_offset_record(services, settings.offset_path, record);
        saved_ = std::move(record);
        save_failed_ = false;
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        if (!services.is_ordinary_error(error)) throw;
        if (!save_failed_)
            services.console("[bot] cannot write " + settings.offset_path + ": " +
                             services.error_message(error) + "; a restart may answer some commands again\n");
        save_failed_ = true;
    }
}

}  // namespace emberscope::bot
