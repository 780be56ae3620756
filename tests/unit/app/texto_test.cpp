#include <gtest/gtest.h>

#include "app/web/charset.h"
#include "app/web/erros.h"
#include "app/web/formulario.h"

namespace vtx {
namespace {

TEST(Formulario, CodificaComoFormularioHtml) {
  EXPECT_EQ(CodificaFormulario({{"MSG", "a b&c"}}), "MSG=a+b%26c");
  EXPECT_EQ(CodificaFormulario({{"NOME", "João"}}), "NOME=Jo%C3%A3o");
  EXPECT_EQ(CodificaFormulario({{"x", "*-._~/=+%"}}), "x=*-._%7E%2F%3D%2B%25");
  EXPECT_EQ(CodificaFormulario({{"ID", "4201"}, {"TYPE", "1"}, {"a b", ""}}),
            "ID=4201&TYPE=1&a+b=");
  EXPECT_EQ(CodificaFormulario({}), "");
  EXPECT_EQ(CodificaCampo(std::string("\0\n\xff", 3)), "%00%0A%FF");
}

TEST(Charset, LeParametroDoContentType) {
  EXPECT_EQ(CharsetDe("text/plain; charset=UTF-8"), "utf-8");
  EXPECT_EQ(CharsetDe("application/json;Charset=\"ISO-8859-1\" ; q=1"), "iso-8859-1");
  EXPECT_EQ(CharsetDe("text/plain; format=flowed; charset=windows-1252"), "windows-1252");
  EXPECT_EQ(CharsetDe("application/json"), "");
  EXPECT_EQ(CharsetDe(""), "");
}

TEST(Charset, DecodificaParaUtf8) {
  const std::string latin1 = "Jo\xe3o \x80";  // "João" and the euro sign of Windows-1252
  EXPECT_EQ(DecodificaTexto(latin1, "text/plain; charset=iso-8859-1"), "João €");
  EXPECT_EQ(DecodificaTexto(latin1, "text/plain; charset=windows-1252"), "João €");
  EXPECT_EQ(DecodificaTexto("\xa4", "text/plain; charset=iso-8859-15"), "€");
  EXPECT_EQ(DecodificaTexto("João", "application/json; charset=utf-8"), "João");
  // Invalid UTF-8 (a lone continuation byte, an overlong form, a surrogate) is replaced.
  EXPECT_EQ(DecodificaTexto("a\x80z\xc0\xaf\xed\xa0\x80", "text/plain; charset=utf-8"),
            "a\uFFFDz\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD");
  // No charset: UTF-8 when valid, else Windows-1252.
  EXPECT_EQ(DecodificaTexto("João", "application/json"), "João");
  EXPECT_EQ(DecodificaTexto(latin1, ""), "João €");
  EXPECT_THROW(DecodificaTexto("x", "text/plain; charset=koi8-r"), EWebServico);
}

}  // namespace
}  // namespace vtx
