// The texts the Modbus master reports, in ErrorText, in ExceptionText or as events. The
// operators and the plant's documentation know them word for word, spelling included.
#ifndef KALVIX_DEVICES_MODBUS_MESSAGES_H_
#define KALVIX_DEVICES_MODBUS_MESSAGES_H_

namespace kalvix::modbus_text {

inline constexpr const char* kPortNotConnected = "Поорт не подключен!";
inline constexpr const char* kBlockTooLarge = "Попытка передать слишком большой блок информации!";
inline constexpr const char* kSendFailed = "Не удалось послать блок информации.";
// More than 129 foreign bytes came before the slave's address.
inline constexpr const char* kWrongAnswer = "Неправильный ответ контроллера. Проверте аппаратуру.";
inline constexpr const char* kNoAnswer = "Нет ответа от контроллера. Проверте аппаратуру.";
// Reading the function byte failed / delivered nothing (the two differ in word order).
inline constexpr const char* kFunctionReadFailed =
    "Ответ не передан полностью. Проверте аппаратуру.";
inline constexpr const char* kFunctionMissing = "Ответ передан не полностью. Проверте аппаратуру.";
inline constexpr const char* kUnexpectedAnswer = "Неожиданный ответ";
inline constexpr const char* kReplyIncomplete =
    "Ответ не передан полностью (bCounter). Проверте аппаратуру.";
inline constexpr const char* kReplyChecksum =
    "Ошибка контрольной суммы (bCounter). Проверте кабель.";
inline constexpr const char* kBadReply = "Неправильный ответ на запрос.";
inline constexpr const char* kBusy = "Выполнение предыдущей команды еще не завершено.";
inline constexpr const char* kFaultInSend = "Ошибка в SendComBlock";
inline constexpr const char* kFaultInReceive = "Ошибка в ReciveComBlock";

}  // namespace kalvix::modbus_text

#endif  // KALVIX_DEVICES_MODBUS_MESSAGES_H_
