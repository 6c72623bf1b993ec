// The pages' words in the streamer's language: OBS's, which the module names in the page URL's
// "lang" parameter (absent for en-US). The web build writes each page once per language, with its
// fixed words already in and its script carrying that language's catalog and English for what it
// lacks (the "velmora:words" module); the module's server hands out the page for the language
// asked. No request is added before the first draw, and no page carries the other languages.
import { ENGLISH, LANGUAGE, WORDS } from 'velmora:words';
import { setWords } from './words.js';

// What say() gives from here on: the words of the page's language.
export function localisePage() {
  setWords(LANGUAGE, WORDS, ENGLISH);
}
