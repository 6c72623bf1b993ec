// The pages' words in the streamer's language: OBS's, which the module passes in the page URL's
// "lang" parameter (absent for en-US). The catalogs are bundled into the page's script, so no
// request is added before the first draw.
import deDE from '../locale/de-DE.json';
import enUS from '../locale/en-US.json';
import esES from '../locale/es-ES.json';
import frFR from '../locale/fr-FR.json';
import itIT from '../locale/it-IT.json';
import jaJP from '../locale/ja-JP.json';
import koKR from '../locale/ko-KR.json';
import ptBR from '../locale/pt-BR.json';
import zhCN from '../locale/zh-CN.json';
import { say, setWords } from './words.js';

export const CATALOGS = {
  'en-US': enUS, 'de-DE': deDE, 'es-ES': esES, 'fr-FR': frFR, 'it-IT': itIT, 'ja-JP': jaJP, 'ko-KR': koKR, 'pt-BR': ptBR,
  'zh-CN': zhCN,
};

// The page's language from its query; en-US when it names none of ours.
export function languageFrom(search) {
  const lang = new URLSearchParams(search).get('lang');
  return Object.prototype.hasOwnProperty.call(CATALOGS, lang) ? lang : 'en-US';
}

// Says the page's language, makes its words the ones say() gives, and puts them into every element
// marked data-i18n="key" (its text) or data-i18n-placeholder / data-i18n-label (its placeholder or
// aria-label).
export function localisePage(lang) {
  setWords(lang, CATALOGS[lang] || enUS, enUS);
  document.documentElement.lang = lang;
  for (const element of document.querySelectorAll('[data-i18n]')) element.textContent = say(element.dataset.i18n);
  for (const element of document.querySelectorAll('[data-i18n-placeholder]')) element.placeholder = say(element.dataset.i18nPlaceholder);
  for (const element of document.querySelectorAll('[data-i18n-label]')) element.setAttribute('aria-label', say(element.dataset.i18nLabel));
}
