// The ticket conversation's texts: the live chat line ("data|nome|texto|id"), the customer's
// message as sent, links and the elapsed time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vtx {

struct TLinhaChat {
  std::string data, nome, msg;
  int32_t id = 0;  // 0 when the field is missing or not a number
};

// Reads a live line; missing fields are empty.
TLinhaChat LeLinhaChat(std::string_view linha);
// The line sent for a message: "|" removed from the name, "|", CR and LF from the text.
std::string MontaLinhaChat(std::string_view data, std::string_view nome, std::string_view texto,
                           int32_t id);
// The customer's text without CR, LF and "|".
std::string LimpaMensagem(std::string_view texto);
// Whether the message is a link (begins with http:// or https://, any case).
bool EhLink(std::string_view msg);
// "m minuto(s)", "h hora(s) e m min." or "d dia(s), h h e m m".
std::string TextoTempo(int64_t minutos);
// Minutes from "dd/mm/yyyy hh:mm:ss" (local time) to `agoraDias` (days since 1899-12-30), or
// -1 when the text is not such a date.
int64_t MinutosDesde(std::string_view data, double agoraDias);

}  // namespace vtx
